// The Linux platform's timer, message loop and waveOut, called directly.
// The platform keeps one window and one device per process and events
// cannot be killed, so every case runs in a process of its own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "host_e2e_support.h"
#include "posix_platform.h"
#include <mmsystem.h>

using zindle::posix::monotonic_ns;

namespace {

constexpr long long MS = 1000000;

// A failed check ends the case's process with its message.
void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "failed: %s\n", what);
    std::fflush(stderr);
    _exit(1);
}

void pass() { _exit(0); }

}  // namespace

// The program's side of the sound device's notices: the file sink these
// cases play into never goes away, and no key is pressed.
namespace zindle::posix {
void sound_device_lost() { check(false, "the device was lost"); }
void sound_device_back() { check(false, "the device came back"); }
void escape_while_opening() { check(false, "Escape while opening"); }
}  // namespace zindle::posix

namespace {

LRESULT CALLBACK quiet_procedure(HWND, UINT, WPARAM, LPARAM) { return 0; }

// Also where each case starts: one that waits forever ends here instead.
HWND make_window() {
    alarm(10);
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = quiet_procedure;
    window_class.lpszClassName = "test";
    check(RegisterClassA(&window_class) != 0, "window class");
    const HWND window = CreateWindowExA(0, "test", "test", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    check(window != nullptr, "window");
    return window;
}

int thread_count() {
    DIR* tasks = opendir("/proc/self/task");
    check(tasks != nullptr, "/proc/self/task");
    int count = 0;
    while (const dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
    return count;
}

// What the callbacks saw, written and read on the one thread (or not, when
// a callback runs elsewhere: then the thread check fails first).
HWND window;
pthread_t loop_thread;
std::atomic<bool> elsewhere{false};
std::atomic<int> calls{0};
long long times[64];
UINT last_id;

void CALLBACK count_call(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    if (pthread_equal(pthread_self(), loop_thread) == 0) elsewhere = true;
    const int call = calls.load();
    if (call < 64) times[call] = monotonic_ns();
    last_id = id;
    calls = call + 1;
    const auto stop_after = static_cast<int>(user);
    if (call + 1 == stop_after) PostMessageA(window, WM_USER, 0, 0);
}

void CALLBACK post_each_call(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    count_call(id, 0, 0, 0, 0);
    PostMessageA(window, WM_USER, 0, 0);
}

MSG next_message() {
    MSG message;
    check(GetMessageA(&message, nullptr, 0, 0) != 0, "a message, not the quit");
    return message;
}

class PosixPlatform : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void timer_on_waiting_thread() {
    window = make_window();
    loop_thread = pthread_self();
    const int threads = thread_count();
    check(timeSetEvent(5, 1, count_call, 3, TIME_PERIODIC) != 0, "event set");
    check(thread_count() == threads, "no thread for the event");
    const MSG message = next_message();
    check(message.message == WM_USER, "the callback's message");
    check(calls == 3, "three calls before the message");
    check(!elsewhere, "callbacks on the waiting thread");
    pass();
}

TEST_F(PosixPlatform, TimerCallbacksRunOnTheThreadWaitingForMessagesWithNoThreadOfTheirOwn) {
    EXPECT_EXIT(timer_on_waiting_thread(), ::testing::ExitedWithCode(0), "");
}

void timer_keeps_schedule() {
    window = make_window();
    loop_thread = pthread_self();
    const long long set_at = monotonic_ns();
    check(timeSetEvent(10, 1, post_each_call, 0, TIME_PERIODIC) != 0, "event set");
    // Every other message takes longer than a period to handle, so every
    // other call comes late; the one after it is on time again.
    for (int k = 0; k < 40; ++k) {
        check(next_message().message == WM_USER, "the callback's message");
        const timespec work = {0, k % 2 == 0 ? 15 * MS : 0};
        nanosleep(&work, nullptr);
    }
    for (int k = 0; k < 40; ++k) check(times[k] >= set_at + (k + 1) * 10 * MS, "no call before its time");
    // A schedule that went on from each late call would be 100 ms behind
    // by the 40th.
    check(times[39] < set_at + 40 * 10 * MS + 60 * MS, "the 40th call on time");
    pass();
}

TEST_F(PosixPlatform, PeriodicEventsKeepTheirScheduleWhenTheLoopIsLate) {
    EXPECT_EXIT(timer_keeps_schedule(), ::testing::ExitedWithCode(0), "");
}

void timer_restarts_after_a_stall() {
    window = make_window();
    loop_thread = pthread_self();
    check(timeSetEvent(10, 1, post_each_call, 0, TIME_PERIODIC) != 0, "event set");
    const timespec stall = {1, 500 * MS};
    nanosleep(&stall, nullptr);
    const long long stall_end = monotonic_ns();
    while (monotonic_ns() < stall_end + 55 * MS) next_message();
    // One call for the stall, then the period's pace: not 150 at once.
    check(calls >= 5 && calls <= 8, "the schedule started afresh");
    pass();
}

TEST_F(PosixPlatform, AfterALongStallTheScheduleStartsAfresh) {
    EXPECT_EXIT(timer_restarts_after_a_stall(), ::testing::ExitedWithCode(0), "");
}

void one_shot_fires_once() {
    window = make_window();
    loop_thread = pthread_self();
    const UINT once = timeSetEvent(20, 1, count_call, 1, TIME_ONESHOT);
    check(once != 0, "one-shot set");
    // The calls are counted together: the periodic event's third is the
    // fourth in all.
    const UINT periodic = timeSetEvent(30, 1, count_call, 4, TIME_PERIODIC);
    check(periodic != 0 && periodic != once, "periodic set");
    check(next_message().message == WM_USER, "the one-shot's message");
    check(calls == 1 && last_id == once, "the one-shot first");
    check(next_message().message == WM_USER, "the periodic event's message");
    check(calls == 4 && last_id == periodic, "the one-shot only once");
    pass();
}

TEST_F(PosixPlatform, AOneShotEventFiresOnce) { EXPECT_EXIT(one_shot_fires_once(), ::testing::ExitedWithCode(0), ""); }

void* post_later(void*) {
    const timespec pause = {0, 50 * MS};
    nanosleep(&pause, nullptr);
    PostMessageA(window, WM_USER + 7, 1, 2);
    return nullptr;
}

void post_ends_wait() {
    window = make_window();
    loop_thread = pthread_self();
    check(timeSetEvent(2000, 1, count_call, 1, TIME_PERIODIC) != 0, "event set");
    const long long start = monotonic_ns();
    pthread_t poster;
    check(pthread_create(&poster, nullptr, post_later, nullptr) == 0, "poster");
    const MSG message = next_message();
    check(message.message == WM_USER + 7 && message.wParam == 1 && message.lParam == 2, "the posted message");
    check(monotonic_ns() - start < 1000 * MS, "woken by the post");
    check(calls == 0, "the event not yet due");
    pthread_join(poster, nullptr);
    pass();
}

TEST_F(PosixPlatform, AMessageFromAnotherThreadEndsTheWaitBeforeTheNextEvent) {
    EXPECT_EXIT(post_ends_wait(), ::testing::ExitedWithCode(0), "");
}

// The sound device, with the tests' ALSA file sink (it swallows frames at
// once, so the nominal rate paces the reports).
constexpr unsigned FRAMES = 2048;
constexpr unsigned RATE = 44100;
short samples[4][FRAMES * 2];
WAVEHDR headers[4];
WAVEHDR* reported[8];
long long reported_at[8];
std::atomic<int> reports{0};

void CALLBACK wave_done(HWAVEOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != MM_WOM_DONE) return;
    if (pthread_equal(pthread_self(), loop_thread) == 0) elsewhere = true;
    const int k = reports.load();
    if (k < 8) {
        reported[k] = reinterpret_cast<WAVEHDR*>(param1);
        reported_at[k] = monotonic_ns();
    }
    reports = k + 1;
    PostMessageA(window, WM_USER, 0, 0);
}

HWAVEOUT open_device() {
    setenv("ALSA_CONFIG_PATH", zindle::e2e::alsa_config(ZINDLE_SOURCE_DIR "/tests/alsa/capture.conf").c_str(), 1);
    setenv("ZINDLE_PCM_CAPTURE", "/dev/null", 1);
    const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, RATE, RATE * 4, 4, 16, 0};
    HWAVEOUT out = nullptr;
    check(waveOutOpen(&out, 0, &format, reinterpret_cast<DWORD_PTR>(&wave_done), 0, CALLBACK_FUNCTION) ==
              MMSYSERR_NOERROR,
          "device open");
    for (unsigned k = 0; k < 4; ++k) {
        headers[k].lpData = reinterpret_cast<LPSTR>(samples[k]);
        headers[k].dwBufferLength = sizeof samples[k];
        check(waveOutPrepareHeader(out, &headers[k], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "header prepared");
    }
    return out;
}

long long nominal_end(unsigned buffers) { return static_cast<long long>(buffers) * FRAMES * 1000000000LL / RATE; }

void device_without_timer() {
    window = make_window();
    loop_thread = pthread_self();
    const HWAVEOUT out = open_device();
    const int threads = thread_count();
    const long long start = monotonic_ns();
    for (WAVEHDR& header : headers)
        check(waveOutWrite(out, &header, sizeof header) == MMSYSERR_NOERROR, "header written");
    check(thread_count() == threads, "no thread for the device");
    check((headers[3].dwFlags & WHDR_INQUEUE) != 0 && (headers[3].dwFlags & WHDR_DONE) == 0, "queued");
    while (reports < 4) check(next_message().message == WM_USER, "the callback's message");
    check(!elsewhere, "reports on the waiting thread");
    for (unsigned k = 0; k < 4; ++k) {
        check(reported[k] == &headers[k], "in the order written");
        check((headers[k].dwFlags & WHDR_DONE) != 0 && (headers[k].dwFlags & WHDR_INQUEUE) == 0, "done");
        check(reported_at[k] >= start + nominal_end(k + 1), "no report before the buffer could be heard");
        check(reported_at[k] < start + nominal_end(k + 1) + 40 * MS, "the device woken for its own work");
    }
    check(reports == 4, "each buffer once");
    pass();
}

TEST_F(PosixPlatform, WithNoTimerTheDeviceReportsEachBufferInOrderOnceItCouldHaveBeenHeard) {
    EXPECT_EXIT(device_without_timer(), ::testing::ExitedWithCode(0), "");
}

void device_with_timer_and_refills() {
    window = make_window();
    loop_thread = pthread_self();
    const HWAVEOUT out = open_device();
    check(timeSetEvent(17, 5, count_call, 0, TIME_PERIODIC) != 0, "event set");
    const long long start = monotonic_ns();
    for (WAVEHDR& header : headers) waveOutWrite(out, &header, sizeof header);
    // Each buffer goes back in as it is reported, as the host does.
    while (reports < 8) {
        const int before = reports;
        next_message();
        for (int k = before; k < reports && k < 4; ++k)
            check(waveOutWrite(out, reported[k], sizeof(WAVEHDR)) == MMSYSERR_NOERROR, "rewritten");
    }
    for (unsigned k = 0; k < 8; ++k) {
        check(reported[k] == &headers[k % 4], "in the order written");
        check(reported_at[k] >= start + nominal_end(k + 1), "no report before the buffer could be heard");
        // Late by up to a timer period and the wait's slack.
        check(reported_at[k] < start + nominal_end(k + 1) + 60 * MS, "reports keep pace");
    }
    check(!elsewhere, "all on the waiting thread");
    pass();
}

TEST_F(PosixPlatform, ARefilledBufferPlaysOnAfterTheOthersAtTheNominalRate) {
    EXPECT_EXIT(device_with_timer_and_refills(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
