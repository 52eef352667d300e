// zindle.exe end to end under Wine, headless: a private X server for the
// window and its keys, Wine's ALSA driver writing every frame to a file on
// its way to a private PulseAudio server's null sink. The sink takes frames
// at a sound card's pace: a sink that takes them at once lets Wine drain
// the player's four buffers several times faster than real time, and Wine
// fills any gap with silence, so a test machine busy for a few tens of
// milliseconds would put silence into the capture that no listener would
// hear. Skipped when Wine, the Windows build or the server is missing,
// unless ZINDLE_REQUIRE_WINE is set or CI is true. zindle.dll is checked
// here too: a C program on its import library renders under Wine.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "busy_module.h"
#include "host_e2e_support.h"
#include "pulse_server.h"

using namespace zindle::e2e;

namespace {

constexpr std::uint64_t BUFFER = 8192;

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// In CI (or where asked) a missing part fails the tests instead of skipping them.
bool required() { return std::getenv("ZINDLE_REQUIRE_WINE") != nullptr || in_ci(); }

using Env = std::vector<std::pair<std::string, std::string>>;

Env wine_env(const std::string& prefix) {
    return {{"WINEARCH", "win64"},
            {"WINEDEBUG", "-all"},
            {"WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d"},
            {"WINEPREFIX", prefix}};
}

// Runs a Wine tool to its end; false when it fails or hangs.
bool run_wine(const std::vector<std::string>& args, const Env& env, std::string* why) {
    Spawn spawn;
    spawn.argv = args;
    spawn.env = env;
    Child child(spawn);
    if (!child.wait_exit(180000)) {
        *why = args[1] + " did not finish";
        return false;
    }
    if (!WIFEXITED(child.status()) || WEXITSTATUS(child.status()) != 0) {
        *why = args[1] + " failed: " + child.err();
        return false;
    }
    return true;
}

// A prefix of this build tree's own, made once: a fresh one takes a while.
bool prepare_prefix(const std::string& wine, const std::string& prefix, std::string* why) {
    const std::string ready = prefix + "/.zindle-ready";
    if (access(ready.c_str(), F_OK) == 0) return true;
    std::error_code ignored;
    std::filesystem::remove_all(prefix, ignored);
    // Wine starts in the prefix, so it must exist even when this test runs
    // before any other has made the folders above it.
    std::filesystem::create_directories(prefix, ignored);
    const Env env = wine_env(prefix);
    const std::string wineserver = find_program("wineserver");
    if (!run_wine({wine, "wineboot", "-i"}, env, why)) return false;
    if (!wineserver.empty() && !run_wine({wineserver, "wineserver", "-w"}, env, why)) return false;
    // Unmanaged windows close at once; sound goes through ALSA.
    const std::string reg = prefix + "/zindle.reg";
    const std::string text =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n\"Managed\"=\"N\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n\"Audio\"=\"alsa\"\r\n";
    write_file(reg, std::vector<std::uint8_t>(text.begin(), text.end()));
    if (!run_wine({wine, "regedit", "/S", reg}, env, why)) return false;
    if (!wineserver.empty() && !run_wine({wineserver, "wineserver", "-w"}, env, why)) return false;
    write_file(ready, {});
    return true;
}

// A private X server, stopped by its PID.
class XServer {
public:
    explicit XServer(const std::string& xvfb) {
        for (int n = 90 + getpid() % 50; n < 250 && display_.empty(); ++n) {
            const std::string number = std::to_string(n);
            const std::string lock = "/tmp/.X" + number + "-lock";
            const std::string socket = "/tmp/.X11-unix/X" + number;
            const std::string display = std::string(":") + number;
            if (access(lock.c_str(), F_OK) == 0 || access(socket.c_str(), F_OK) == 0) continue;
            Spawn spawn;
            spawn.argv = {xvfb, display, "-nolisten", "tcp", "-screen", "0", "640x480x24"};
            server_ = std::make_unique<Child>(spawn);
            for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0 && server_->running(); ++i) sleep_ms(10);
            if (access(socket.c_str(), F_OK) == 0 && server_->running())
                display_ = display;
            else
                server_.reset();
        }
    }
    ~XServer() {
        if (server_ && server_->running()) {
            server_->signal(SIGTERM);
            server_->wait_exit(5000);
        }
    }
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<Child> server_;
    std::string display_;
};

// Where the capture first leaves the rendering, and whether silence was
// put in there (what a sound stack does when the player falls behind).
std::string first_difference(const std::string& played, const std::string& reference, std::size_t length) {
    std::size_t at = 0;
    while (at < length && played[at] == reference[at]) ++at;
    const std::size_t frame = at / 4;
    std::size_t zeros = frame * 4;
    while (zeros < played.size() && played[zeros] == '\0') ++zeros;
    return "first difference at frame " + std::to_string(frame) + ", where the capture holds " +
           std::to_string((zeros - frame * 4) / 4) + " silent frames";
}

std::string hex_line(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X \r\n", value);
    return text;
}

TEST(WinePlayer, DemoPlaysZMovesAndEscapeEndsWithZero) {
    const std::string wine = find_program("wine");
    const std::string xvfb = find_program("Xvfb");
    const std::string xdotool = find_program("xdotool");
    const std::string exe = ZINDLE_WINDOWS_EXE;
    if (wine.empty() || xvfb.empty() || xdotool.empty()) {
        if (required()) FAIL() << "wine, Xvfb and xdotool are needed";
        GTEST_SKIP() << "wine, Xvfb or xdotool is not installed";
    }
    if (access(exe.c_str(), F_OK) != 0) {
        if (required()) FAIL() << exe << " is missing: make windows, or configure ZINDLE_WINDOWS_EXE";
        GTEST_SKIP() << exe << " is not built (make windows, or configure ZINDLE_WINDOWS_EXE)";
    }
    if (!PulseServer::installed()) {
        if (required()) FAIL() << "pulseaudio and libasound2-plugins are needed";
        GTEST_SKIP() << "pulseaudio or ALSA's pulse plugin is missing";
    }

    const std::string prefix = std::string(ZINDLE_TEST_WORK_DIR) + "/wine-prefix";
    std::string why;
    ASSERT_TRUE(prepare_prefix(wine, prefix, &why)) << why;
    const XServer x(xvfb);
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    const PulseServer pulse;
    const std::unique_ptr<Child> server = pulse.start();
    ASSERT_TRUE(server->running()) << server->err();

    const WorkDir dir("wine-player");
    // Every frame Wine gives ALSA goes to the capture, raw, then to the sink.
    const std::string alsa_conf = dir / "alsa.conf";
    const std::string conf = "pcm.!default {\n    type file\n    slave.pcm {\n" + pulse.alsa_pcm() +
                             "    }\n    file \"" + (dir / "capture.raw") + "\"\n    format \"raw\"\n}\n";
    write_file(alsa_conf, std::vector<std::uint8_t>(conf.begin(), conf.end()));
    const std::string demo = source_path("examples/demo.mod");
    const std::string song = read_file(demo);
    write_file(dir / "demo.mod", std::vector<std::uint8_t>(song.begin(), song.end()));
    std::filesystem::copy_file(exe, dir / "zindle.exe");
    std::string report;
    render(demo, 1, &report);
    // Entry 1's pattern (the demo has the 31-sample layout).
    ASSERT_GT(song.size(), 953u);
    const auto length = static_cast<unsigned char>(song[950]);
    const unsigned next_pattern = static_cast<unsigned char>(song[length > 1 ? 953 : 952]);

    Spawn spawn;
    spawn.argv = {wine, "zindle.exe", "demo.mod"};
    spawn.env = wine_env(prefix);
    spawn.env.push_back({"DISPLAY", x.display()});
    for (const auto& [name, value] : pulse.environment())
        if (name != "ALSA_CONFIG_PATH") spawn.env.emplace_back(name, value);
    spawn.env.push_back({"ALSA_CONFIG_PATH", alsa_config(alsa_conf)});
    spawn.cwd = dir.path();
    Child player(spawn);
    ASSERT_TRUE(player.wait_stdout(report, 60000)) << '[' << player.out() << "] " << player.err();
    ASSERT_TRUE(wait_file_size(dir / "capture.raw", 4 * BUFFER, 20000));
    const auto first_buffers = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_file_size(dir / "capture.raw", 24 * BUFFER, 20000));
    std::printf("[ figures  ] 20 buffers (0.93 s of music) reached the sink in %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - first_buffers).count());

    std::string window;
    for (int i = 0; i < 200 && window.empty(); ++i) {
        Spawn search;
        search.argv = {xdotool, "search", "--name", "^zindle$"};
        search.env = {{"DISPLAY", x.display()}};
        Child finder(search);
        finder.wait_exit(10000);
        window = finder.out().substr(0, finder.out().find('\n'));
        if (window.empty()) sleep_ms(50);
    }
    ASSERT_FALSE(window.empty()) << "no window named zindle";
    auto key = [&](const char* name) {
        Spawn press;
        press.argv = {xdotool, "key", "--window", window, name};
        press.env = {{"DISPLAY", x.display()}};
        Child presser(press);
        presser.wait_exit(10000);
    };

    const std::uint64_t before_z = file_size(dir / "capture.raw");
    key("z");
    EXPECT_TRUE(player.wait_stdout(report + hex_line(next_pattern), 10000)) << player.out();
    key("Escape");
    ASSERT_TRUE(player.wait_exit(30000));
    EXPECT_TRUE(WIFEXITED(player.status()) && WEXITSTATUS(player.status()) == 0) << player.status();
    EXPECT_EQ(player.out(), report + hex_line(next_pattern));

    // Compare the sound, not its timing.
    const std::string played = read_file(dir / "capture.raw");
    const std::string reference = render(demo, before_z / BUFFER + 1);
    ASSERT_GE(played.size(), before_z);
    EXPECT_TRUE(played.compare(0, before_z, reference, 0, before_z) == 0)
        << "until Z, the capture is what zindle-render makes; " << first_difference(played, reference, before_z);
    server->signal(SIGTERM);
    EXPECT_TRUE(server->wait_exit(5000));
}

}  // namespace

namespace {

// The Windows build needs nothing but the system's own three libraries and
// runs in the console subsystem.
TEST(WindowsPlayer, ImportsOnlyKernelUserAndWinmmAndIsAConsoleProgram) {
    const std::string objdump = find_program("x86_64-w64-mingw32-objdump");
    const std::string exe = ZINDLE_WINDOWS_EXE;
    if (objdump.empty() || access(exe.c_str(), F_OK) != 0) {
        if (required()) FAIL() << "x86_64-w64-mingw32-objdump and " << exe << " are needed";
        GTEST_SKIP() << "no mingw-w64 objdump or no Windows build";
    }
    Child dump({{objdump, "-p", exe}});
    ASSERT_TRUE(dump.wait_exit(30000));
    std::vector<std::string> dlls;
    const std::string& text = dump.out();
    for (std::size_t at = text.find("DLL Name: "); at != std::string::npos; at = text.find("DLL Name: ", at + 1))
        dlls.push_back(text.substr(at + 10, text.find('\n', at) - at - 10));
    std::sort(dlls.begin(), dlls.end());
    EXPECT_EQ(dlls, (std::vector<std::string>{"KERNEL32.dll", "USER32.dll", "WINMM.dll"}));
    EXPECT_NE(text.find("(Windows CUI)"), std::string::npos) << "console subsystem";
}

// A C program built with MinGW against zindle.dll's import library (the
// header's functions declared imported, as any program that defines
// nothing gets them) runs under Wine with the DLL beside it and writes
// zindle-render's very bytes: the demos and busy songs of 4 to 32
// channels, in both modes.
TEST(WindowsLibrary, AProgramOnTheDllRendersAsZindleRender) {
    const std::string wine = find_program("wine");
    const std::string cc = find_program("x86_64-w64-mingw32-gcc");
    const std::string objdump = find_program("x86_64-w64-mingw32-objdump");
    const std::string dll = ZINDLE_WINDOWS_DLL;
    const std::string import_library = ZINDLE_WINDOWS_IMPORT_LIBRARY;
    if (wine.empty() || cc.empty() || objdump.empty()) {
        if (required()) FAIL() << "wine and mingw-w64 are needed";
        GTEST_SKIP() << "wine or mingw-w64 is not installed";
    }
    if (access(dll.c_str(), F_OK) != 0 || access(import_library.c_str(), F_OK) != 0) {
        if (required()) FAIL() << dll << " is missing: make windows, or configure ZINDLE_WINDOWS_EXE";
        GTEST_SKIP() << dll << " is not built (make windows, or configure ZINDLE_WINDOWS_EXE)";
    }
    const std::string prefix = std::string(ZINDLE_TEST_WORK_DIR) + "/wine-prefix";
    std::string why;
    ASSERT_TRUE(prepare_prefix(wine, prefix, &why)) << why;

    const WorkDir dir("wine-dll");
    Child build({{cc, "-std=c99", "-Wall", "-Wextra", "-Werror", "-I" + source_path("include"), "-o",
                  dir / "render_wav.exe", source_path("examples/render_wav.c"), import_library}});
    ASSERT_TRUE(build.wait_exit(60000));
    ASSERT_EQ(build.status(), 0) << build.err();
    Child dump({{objdump, "-p", dir / "render_wav.exe"}});
    ASSERT_TRUE(dump.wait_exit(30000));
    EXPECT_NE(dump.out().find("DLL Name: zindle.dll"), std::string::npos) << "the program does not use the DLL";
    std::filesystem::copy_file(dll, dir / "zindle.dll");

    std::vector<std::string> songs = {"demo.mod", "demo-extended.mod"};
    for (const std::string& demo : songs) std::filesystem::copy_file(source_path("examples/" + demo), dir / demo);
    for (const int channels : {4, 8, 32})
        for (const bool extended : {false, true}) {
            const std::string name = "busy-" + std::to_string(channels) + (extended ? "-extended" : "") + ".mod";
            write_file(dir / name, zindle::test::busy_module({.channels = channels,
                                                              .patterns = 2,
                                                              .seed = static_cast<std::uint32_t>(channels),
                                                              .extended = extended}));
            songs.push_back(name);
        }
    for (const std::string& song : songs) {
        Spawn run;
        run.argv = {wine, "render_wav.exe", song, "dll.wav"};
        run.env = wine_env(prefix);
        run.cwd = dir.path();
        Child windows(run);
        ASSERT_TRUE(windows.wait_exit(120000)) << song;
        ASSERT_TRUE(WIFEXITED(windows.status()) && WEXITSTATUS(windows.status()) == 0) << song << ' ' << windows.err();
        Child linux_render({{bin_path("zindle-render"), dir / song, dir / "linux.wav"}});
        ASSERT_TRUE(linux_render.wait_exit(60000)) << song;
        ASSERT_EQ(linux_render.status(), 0) << song << ' ' << linux_render.err();
        const std::string expected = read_file(dir / "linux.wav");
        ASSERT_GT(expected.size(), 44u) << song;
        EXPECT_TRUE(read_file(dir / "dll.wav") == expected)
            << song << ": the DLL's render differs from zindle-render's";
    }
}

}  // namespace
