// Start-up from the command line to the message loop, its failures and exit
// codes, and the command-line parsing, against a scripted Win32.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"
#include "host_fake_win32.h"
#include "player_state.h"

using namespace zindle;
using fake::win32;

namespace {

TEST(CommandLine, PathIsWhatFollowsTheFirstBlankAndTheBlanksAfterIt) {
    struct Case {
        const char* line;
        const char* path;  // null: no path at all
    };
    const Case cases[] = {
        {"zindle", nullptr},
        {"", nullptr},
        {"zindle\tsong.mod", nullptr},
        {"zindle song.mod", "song.mod"},
        {"zindle    song.mod", "song.mod"},
        {"zindle   ", ""},
        {"zindle song.mod  ", "song.mod  "},
        {"zindle \"my song.mod\"", "\"my song.mod\""},
        {"zindle my song.mod", "my song.mod"},
        {"zindle \tsong.mod", "\tsong.mod"},
        // A quoted program name holds its blanks; after the closing quote
        // the name runs on to the first blank.
        {"\"C:\\my tools\\zindle.exe\" song.mod", "song.mod"},
        {"\"C:\\my tools\\zindle.exe\"   my song.mod ", "my song.mod "},
        {"\"C:\\tools\\zindle.exe\" song.mod", "song.mod"},
        {"\"zindle\"x song.mod", "song.mod"},
        {"\"C:\\my tools\\zindle.exe\"song.mod", nullptr},
        {"\"C:\\my tools\\zindle.exe song.mod", nullptr},
        {"\"\" song.mod", "song.mod"},
        {"\"", nullptr},
        // A quote elsewhere is an ordinary character.
        {"zin\"dle song.mod", "song.mod"},
    };
    for (const Case& c : cases) {
        const char* path = module_path(c.line);
        if (c.path == nullptr) {
            EXPECT_EQ(path, nullptr) << '[' << c.line << ']';
        } else {
            ASSERT_NE(path, nullptr) << '[' << c.line << ']';
            EXPECT_STREQ(path, c.path) << '[' << c.line << ']';
        }
    }
}

const char REPORT[] = "channels: 00000004 \r\nsamples: 0000001F \r\n";

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        win32.files["song.mod"] = fake::ModuleImage({0, 1}).bytes;
    }
    static MSG message(UINT id, WPARAM wparam = 0) {
        MSG msg = {};
        msg.message = id;
        msg.wParam = wparam;
        return msg;
    }
    static std::size_t count(const std::string& call) {
        std::size_t n = 0;
        for (const std::string& c : win32.calls) n += c == call;
        return n;
    }
};

TEST_F(StartUp, RunsItsStepsInOrderAndEndsWithZeroWhenTheLoopEnds) {
    EXPECT_EQ(fake::run_to_exit(), 0u);
    const std::vector<std::string> expected = {
        "GetModuleHandleA",     "LoadCursorA(arrow)",   "RegisterClassA",       "CreateWindowExA",      "ShowWindow",
        "AllocConsole",         "GetStdHandle(output)", "GetCommandLineA",      "CreateFileA",          "ReadFile",
        "CloseHandle",          "timeGetDevCaps",       "timeBeginPeriod",      "timeSetEvent",         "waveOutOpen",
        "waveOutPrepareHeader", "waveOutPrepareHeader", "waveOutPrepareHeader", "waveOutPrepareHeader", "waveOutWrite",
        "waveOutWrite",         "waveOutWrite",         "waveOutWrite",         "GetMessageA",          "ExitProcess",
    };
    EXPECT_EQ(win32.calls, expected);
    EXPECT_EQ(win32.console, REPORT);

    const WNDCLASSA& wc = win32.window_class;
    EXPECT_EQ(wc.style, 3u);
    EXPECT_EQ(wc.lpfnWndProc, &window_procedure);
    EXPECT_EQ(wc.cbClsExtra, 0);
    EXPECT_EQ(wc.cbWndExtra, 0);
    EXPECT_NE(wc.hInstance, nullptr);
    EXPECT_EQ(wc.hIcon, nullptr);
    EXPECT_NE(wc.hCursor, nullptr);
    EXPECT_EQ(wc.hbrBackground, nullptr);
    EXPECT_EQ(wc.lpszMenuName, nullptr);
    EXPECT_EQ(win32.class_name, "zindle");
    EXPECT_EQ(win32.window_title, "zindle");
    EXPECT_EQ(win32.window_style, 0x008A0000u);
    EXPECT_EQ(win32.window_x, CW_USEDEFAULT);
    EXPECT_EQ(win32.window_y, CW_USEDEFAULT);
    EXPECT_EQ(win32.window_width, 160);
    EXPECT_EQ(win32.window_height, 80);
    EXPECT_EQ(win32.show_command, SW_SHOWNORMAL);
    EXPECT_NE(main_window, nullptr);

    EXPECT_EQ(win32.opened_path, "song.mod");
    EXPECT_EQ(win32.open_access, 0x80000000u);
    EXPECT_EQ(win32.open_share, 1u);
    EXPECT_EQ(win32.open_disposition, 3u);
    EXPECT_EQ(win32.open_attributes, 0x80u);
    EXPECT_EQ(win32.read_request, 0x180000u);

    EXPECT_EQ(win32.timer_period, 5u);
    EXPECT_EQ(win32.timer_delay, 17u);
    EXPECT_EQ(win32.timer_resolution, 5u);
    EXPECT_EQ(win32.timer_callback, &timer_callback);
    EXPECT_EQ(win32.timer_user, 0u);
    EXPECT_EQ(win32.timer_flags, 1u);

    EXPECT_EQ(win32.device_id, 0u);
    EXPECT_EQ(win32.format.wFormatTag, 1);
    EXPECT_EQ(win32.format.nChannels, 2);
    EXPECT_EQ(win32.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(win32.format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(win32.format.nBlockAlign, 4);
    EXPECT_EQ(win32.format.wBitsPerSample, 16);
    EXPECT_EQ(win32.format.cbSize, 0);
    EXPECT_EQ(win32.device_callback, reinterpret_cast<DWORD_PTR>(&wave_callback));
    EXPECT_EQ(win32.device_instance, 0u);
    EXPECT_EQ(win32.device_flags, 0x30000u);

    EXPECT_EQ(win32.prepared, (std::vector<int>{0, 1, 2, 3}));
    for (UINT size : win32.prepared_sizes) EXPECT_EQ(size, sizeof(WAVEHDR));
    for (std::uint32_t k = 0; k < BUFFER_COUNT; ++k) {
        EXPECT_EQ(wave_headers[k].lpData, reinterpret_cast<char*>(output_buffers[k]));
        EXPECT_EQ(wave_headers[k].dwBufferLength, 8192u);
        EXPECT_EQ(wave_headers[k].dwBytesRecorded, 8192u);
        EXPECT_EQ(wave_headers[k].dwUser, 0u);
        EXPECT_EQ(wave_headers[k].dwLoops, 0u);
        EXPECT_EQ(wave_headers[k].lpNext, nullptr);
    }
    EXPECT_EQ(win32.written, (std::vector<int>{1, 2, 3, 0}));
    EXPECT_EQ(audio_ready.load(), 1);
}

TEST_F(StartUp, MessageLoopRefillsMovesAndEndsOnEscapeWithZero) {
    win32.messages.push_back({TRUE, message(WM_USER)});
    win32.messages.push_back({-1, message(WM_USER)});  // an error result keeps the loop going
    win32.messages.push_back({TRUE, message(WM_KEYDOWN, 'Z')});
    win32.messages.push_back({TRUE, message(WM_KEYDOWN, VK_ESCAPE)});
    // The device finishes a buffer as soon as priming ends.
    win32.on_write = [](int) {
        if (win32.written.size() == 4) wave_callback(wave_out, MM_WOM_DONE, 0, 0, 0);
    };
    EXPECT_EQ(fake::run_to_exit(), 0u);
    EXPECT_EQ(win32.written, (std::vector<int>{1, 2, 3, 0, 1}));
    EXPECT_EQ(win32.console, std::string(REPORT) + "00000001 \r\n");
    EXPECT_EQ(count("DestroyWindow"), 1u);
    EXPECT_EQ(win32.quit_code, 0);
    EXPECT_EQ(count("DispatchMessageA"), 5u) << "two refills, Z, Escape and the close it posted";
    EXPECT_EQ(count("TranslateMessage"), 5u);
}

TEST_F(StartUp, NoBlankInTheCommandLineCannotOpenAFile) {
    win32.command_line = "zindle";
    EXPECT_EQ(fake::run_to_exit(), 1u);
    EXPECT_EQ(win32.console, "Couldn't open file");
    EXPECT_EQ(count("CreateFileA"), 0u);
    EXPECT_EQ(count("timeGetDevCaps"), 0u);
}

TEST_F(StartUp, AFileThatDoesNotOpenEndsWithOne) {
    win32.command_line = "zindle missing.mod";
    EXPECT_EQ(fake::run_to_exit(), 1u);
    EXPECT_EQ(win32.console, "Couldn't open file");
    EXPECT_EQ(win32.opened_path, "missing.mod");
    EXPECT_EQ(count("ReadFile"), 0u);
    EXPECT_EQ(count("timeGetDevCaps"), 0u);
}

TEST_F(StartUp, AFileThatCannotBeReadWholeEndsWithOneAndNothingPlays) {
    win32.read_fails = true;
    EXPECT_EQ(fake::run_to_exit(), 1u);
    EXPECT_EQ(win32.console, "Couldn't open file");
    EXPECT_EQ(count("CloseHandle"), 1u);
    EXPECT_EQ(count("timeGetDevCaps"), 0u);
    EXPECT_EQ(count("waveOutOpen"), 0u);
}

TEST_F(StartUp, TimerCapabilitiesMustReachFiveAndThirtyFour) {
    struct Case {
        UINT min, max;
        bool accepted;
    };
    for (const Case& c :
         {Case{5, 34, true}, Case{1, 1000000, true}, Case{6, 34, false}, Case{5, 33, false}, Case{0, 0, false}}) {
        SetUp();
        win32.caps = {c.min, c.max};
        const UINT code = fake::run_to_exit();
        if (c.accepted) {
            EXPECT_EQ(code, 0u) << c.min << ' ' << c.max;
            EXPECT_EQ(win32.console, REPORT) << c.min << ' ' << c.max;
        } else {
            EXPECT_EQ(code, 1u) << c.min << ' ' << c.max;
            EXPECT_EQ(win32.console, "timer fail") << c.min << ' ' << c.max;
            EXPECT_EQ(count("timeBeginPeriod"), 0u);
            EXPECT_EQ(count("waveOutOpen"), 0u);
        }
    }
}

TEST_F(StartUp, AFailedTimerQueryLeavesZeroCapabilitiesAndFails) {
    win32.caps_query_fails = true;
    EXPECT_EQ(fake::run_to_exit(), 1u);
    EXPECT_EQ(win32.console, "timer fail");
}

TEST_F(StartUp, ATimerPeriodThatCannotBeSetFails) {
    win32.begin_period_result = TIMERR_NOCANDO;
    EXPECT_EQ(fake::run_to_exit(), 1u);
    EXPECT_EQ(win32.console, "timer fail");
    EXPECT_EQ(count("timeSetEvent"), 0u);
}

TEST_F(StartUp, ASoundDeviceThatDoesNotOpenIsReportedAndEndsWithThree) {
    win32.open_result = MMSYSERR_BADDEVICEID;
    EXPECT_EQ(fake::run_to_exit(), 3u);
    EXPECT_EQ(win32.console, "Couldn't open sound device");
    EXPECT_EQ(count("waveOutPrepareHeader"), 0u);
    EXPECT_TRUE(win32.written.empty());
}

TEST_F(StartUp, SongLengthZeroGivesTheReportOnlyAndEndsWithOne) {
    win32.files["song.mod"] = fake::ModuleImage({0}, 0).bytes;
    EXPECT_EQ(fake::run_to_exit(), 1u);
    EXPECT_EQ(win32.console, REPORT);
    EXPECT_TRUE(win32.written.empty());
    EXPECT_EQ(count("GetMessageA"), 0u);
}

TEST_F(StartUp, OnlyTheFirstImageSizeOfALongFileIsRead) {
    std::vector<std::uint8_t> file = fake::ModuleImage({0}).bytes;
    file.resize(0x180000 + 100, 0xAB);
    win32.files["song.mod"] = file;
    EXPECT_EQ(fake::run_to_exit(), 0u);
    EXPECT_EQ(win32.read_request, 0x180000u);
    EXPECT_EQ(module_image[0x180000 - 1], 0xAB);
    EXPECT_EQ(module_image[0x180000], 0) << "the tail behind the image stays zero";
}

}  // namespace
