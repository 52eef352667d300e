// The multimedia timer on Linux: one thread per event, calling back on an
// absolute schedule so the period does not drift with the callback's time.
#include <time.h>

#include <atomic>

#include "posix_platform.h"
#include <mmsystem.h>

namespace zindle::posix {

namespace {

constexpr UINT PERIOD_MIN_MS = 1;
constexpr UINT PERIOD_MAX_MS = 1000000;
constexpr long NANOS_PER_MS = 1000000;
constexpr long NANOS_PER_SECOND = 1000000000;

struct TimerEvent {
    UINT id;
    UINT delay_ms;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    bool periodic;
};

constexpr unsigned EVENT_SLOTS = 16;
TimerEvent events[EVENT_SLOTS];
std::atomic<unsigned> events_used{0};

void advance(timespec& at, long nanos) {
    at.tv_nsec += nanos;
    while (at.tv_nsec >= NANOS_PER_SECOND) {
        at.tv_nsec -= NANOS_PER_SECOND;
        ++at.tv_sec;
    }
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void* run_timer(void* argument) {
    const TimerEvent& event = *static_cast<const TimerEvent*>(argument);
    const long period = static_cast<long>(event.delay_ms) * NANOS_PER_MS;
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (;;) {
        advance(due, period);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
        }
        event.callback(event.id, 0, event.user, 0, 0);
        if (!event.periodic) return nullptr;
        // After a long stall (a suspended machine) start the schedule
        // afresh rather than firing every missed period at once.
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec late = due;
        advance(late, NANOS_PER_SECOND);
        if (before(late, now)) due = now;
    }
}

}  // namespace

}  // namespace zindle::posix

using namespace zindle::posix;

extern "C" {

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size) {
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    caps->wPeriodMin = PERIOD_MIN_MS;
    caps->wPeriodMax = PERIOD_MAX_MS;
    return TIMERR_NOERROR;
}

// clock_nanosleep is already as exact as the system allows.
MMRESULT WINAPI timeBeginPeriod(UINT period) {
    return period >= PERIOD_MIN_MS && period <= PERIOD_MAX_MS ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

// Returns the event's identifier, or 0 when it cannot be started.
MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags) {
    if (callback == nullptr || delay < PERIOD_MIN_MS || delay > PERIOD_MAX_MS) return 0;
    const unsigned slot = events_used.fetch_add(1);
    if (slot >= EVENT_SLOTS) return 0;
    TimerEvent& event = events[slot];
    event = {slot + 1, delay, callback, user, (flags & TIME_PERIODIC) != 0};
    return start_thread(run_timer, &event) ? event.id : 0;
}

}  // extern "C"
