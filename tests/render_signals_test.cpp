// zindle-render under signals, odd names and closed or full streams: no
// temporary file is ever left behind, and every failure says what failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "module_builder.h"
#include "process_runner.h"
#include "temp_dir.h"

using namespace zindle::test;

namespace {

namespace fs = std::filesystem;

const std::string RENDER = ZINDLE_BIN_DIR "/zindle-render";

std::vector<std::uint8_t> tune() {
    ModuleBuilder b(4);
    std::vector<std::int8_t> wave(32);
    for (int i = 0; i < 32; ++i) wave[static_cast<std::size_t>(i)] = static_cast<std::int8_t>(i < 16 ? 60 : -60);
    b.sample(1, {.data = wave, .volume = 48, .loop_start_words = 0, .loop_length_words = 16});
    b.orders({0});
    b.cell(0, 0, 0, {.period = 428, .sample = 1});
    b.cell(0, 4, 2, {.period = 214, .sample = 1, .effect = 4, .param = 0x46});
    return b.build();
}

// The last line of standard error, the report before it aside.
std::string last_line(const std::string& err) {
    const std::size_t end = err.size() > 0 && err.back() == '\n' ? err.size() - 1 : err.size();
    const std::size_t start = err.rfind('\n', end == 0 ? 0 : end - 1);
    return err.substr(start == std::string::npos ? 0 : start + 1);
}

class RenderSignals : public testing::Test {
protected:
    void SetUp() override {
        root = make_temp_dir();
        work = root / "work";
        fs::create_directory(work);
        mod = (root / "t.mod").string();
        write_file(mod, tune());
    }
    void TearDown() override { fs::remove_all(root); }

    // A shell script in the work folder; $R is the renderer, $M the module.
    ProgramResult shell(const std::string& script) {
        return run_program({"/bin/bash", "-c", "R='" + RENDER + "'; M='" + mod + "'; " + script}, work.string());
    }

    fs::path root, work;
    std::string mod;
};

// The renderer writes its frames into a fifo that is opened but never read,
// so it blocks with its trace's temporary file open; the script waits for
// that file, sends the signal, and prints how the renderer ended. PREFIX
// runs the renderer (nohup, say); READ drains the fifo before the wait.
std::string blocked_render(const std::string& prefix, const std::string& signal, bool drain) {
    return "mkfifo fifo; " + prefix +
           " \"$R\" --buffers 300 --trace trace.txt \"$M\" - > fifo 2> err & pid=$!; "
           "exec 3< fifo; "
           "for i in $(seq 400); do ls -A | grep -q '^\\.zindle-' && break; sleep 0.05; done; "
           "ls -A | grep -c '^\\.zindle-'; kill -" +
           signal + " $pid; sleep 0.2; " + (drain ? "cat <&3 > /dev/null; " : "") +
           "wait $pid; echo $?; exec 3<&-; rm fifo";
}

TEST_F(RenderSignals, EverySignalThatEndsARenderRemovesItsTemporaryFiles) {
    // Each ends the process by itself (status 128 + its number), silently:
    // the shell says which signal it was. Job control keeps a background
    // job's SIGINT and SIGQUIT as they were; no core file is written.
    for (const auto& [signal, status] : std::vector<std::pair<std::string, int>>{{"QUIT", 131},
                                                                                 {"INT", 130},
                                                                                 {"USR1", 138},
                                                                                 {"USR2", 140},
                                                                                 {"ALRM", 142},
                                                                                 {"TERM", 143},
                                                                                 {"VTALRM", 154},
                                                                                 {"HUP", 129}}) {
        SCOPED_TRACE(signal);
        const auto run = shell("set -m; ulimit -c 0; " + blocked_render("", signal, false));
        EXPECT_EQ(run.out, "1\n" + std::to_string(status) + "\n") << "1: the temporary trace was there";
        EXPECT_EQ(names_in(work), std::vector<std::string>{"err"});
        EXPECT_EQ(read_file(work / "err").find("zindle-render:"), std::string::npos);
    }
}

TEST_F(RenderSignals, SignalsIgnoredAtTheStartStayIgnored) {
    // nohup ignores SIGHUP; a script's background job starts with SIGINT
    // and SIGQUIT ignored; a trap can ignore any. The render goes on to its
    // end and writes its trace.
    const struct {
        const char* before;
        const char* prefix;
        const char* signal;
    } cases[] = {{"", "nohup", "HUP"}, {"", "", "INT"}, {"", "", "QUIT"}, {"trap '' USR1 ALRM; ", "", "USR1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        const auto run = shell(c.before + blocked_render(c.prefix, c.signal, true));
        EXPECT_EQ(run.out, "1\n0\n");
        EXPECT_EQ(names_in(work), (std::vector<std::string>{"err", "trace.txt"}));
        EXPECT_EQ(read_file(work / "trace.txt").rfind("881 0 0 0 6 3528\n", 0), 0u);
        fs::remove(work / "trace.txt");
    }
}

TEST_F(RenderSignals, ABrokenPipeOrTheFileSizeLimitIsAFailedWrite) {
    // The trace on a pipe that closes early: the output's temporary goes.
    auto run = shell(
        "{ \"$R\" --trace - --buffers 20000 \"$M\" p.wav 2> err; echo $? > rc; } | head -c 100 > /dev/null;"
        " cat rc; rm rc");
    EXPECT_EQ(run.out, "1\n");
    EXPECT_EQ(last_line(read_file(work / "err")), "zindle-render: cannot write -: Broken pipe\n");
    EXPECT_EQ(names_in(work), std::vector<std::string>{"err"});

    // Frames on a pipe that closes, the trace in a file.
    run = shell(
        "{ \"$R\" --trace t.txt --buffers 20000 \"$M\" - 2> err; echo $? > rc; } | head -c 100 > /dev/null;"
        " cat rc; rm rc");
    EXPECT_EQ(run.out, "1\n");
    EXPECT_EQ(last_line(read_file(work / "err")), "zindle-render: cannot write -: Broken pipe\n");
    EXPECT_EQ(names_in(work), std::vector<std::string>{"err"});

    // The file size limit, with SIGXFSZ at its default.
    run = shell("ulimit -f 100; \"$R\" --buffers 100 \"$M\" big.wav 2> err; echo $?");
    EXPECT_EQ(run.out, "1\n");
    EXPECT_EQ(last_line(read_file(work / "err")), "zindle-render: cannot write big.wav: File too large\n");
    EXPECT_EQ(names_in(work), std::vector<std::string>{"err"});
}

TEST_F(RenderSignals, AnyNameTheFileSystemTakesCanBeWritten) {
    for (const std::size_t length : {240u, 250u, 255u}) {
        SCOPED_TRACE(length);
        const std::string name = std::string(length - 4, 'n') + ".wav";
        auto run = run_program({RENDER, "--buffers", "1", mod, name}, work.string());
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(fs::file_size(work / name), 44u + 8192);
        // Over an existing file of that name, and as the module's default.
        run = run_program({RENDER, "--buffers", "2", mod, name}, work.string());
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(fs::file_size(work / name), 44u + 2 * 8192);
        fs::remove(work / name);
        const fs::path long_module = root / (std::string(length - 4, 'n') + ".mod");
        fs::copy_file(mod, long_module);
        run = run_program({RENDER, "--buffers", "1", long_module.string()}, work.string());
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(names_in(work), std::vector<std::string>{name});
        fs::remove(work / name);
        fs::remove(long_module);
    }
}

TEST_F(RenderSignals, InfoVersionAndHelpReportAnOutputTheyCannotWrite) {
    for (const std::string args : {"--info \"$M\"", "--version", "--help"}) {
        SCOPED_TRACE(args);
        auto run = shell("\"$R\" " + args + " > /dev/full");
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(last_line(run.err), "zindle-render: cannot write -: No space left on device\n");
        run = shell("\"$R\" " + args + " >&-");
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(last_line(run.err), "zindle-render: cannot write -: Bad file descriptor\n");
        run = shell("{ \"$R\" " + args + " 2> err; echo $? > rc; } | true; cat rc; rm rc");
        // A reader gone before the first byte: a broken pipe, or nothing lost
        // when the text was in the pipe before the reader left.
        EXPECT_TRUE(run.out == "0\n" || run.out == "1\n") << run.out;
        if (run.out == "1\n") {
            EXPECT_EQ(last_line(read_file(work / "err")), "zindle-render: cannot write -: Broken pipe\n");
        }
        fs::remove(work / "err");
    }
}

TEST_F(RenderSignals, AmigaNamesRenderToTheirOwnNames) {
    fs::create_directory(root / "amiga");
    for (const char* name : {"mod.intro", "MOD.Space Debris", "mod.x.y", "mod.", "song.mod"})
        fs::copy_file(mod, root / "amiga" / name);
    const auto run = shell("for f in ../amiga/*; do \"$R\" --buffers 1 \"$f\" 2>/dev/null || echo failed; done");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(names_in(work),
              (std::vector<std::string>{"Space Debris.wav", "intro.wav", "mod.wav", "song.wav", "x.y.wav"}));
}

TEST_F(RenderSignals, InfoShowsEveryControlByteAsADot) {
    auto file = tune();
    // The title: C0, DEL, every C1 byte, and the Latin-1 letters past them.
    const std::uint8_t title[20] = {'a', 0x1B, 0x7F, 0x80, 0x9B, 0x9F, 0xA0, 0xE9, 'z', 0};
    std::copy(title, title + 20, file.begin());
    for (int b = 0x80; b <= 0x9F; ++b)
        file[20 + static_cast<std::size_t>(b - 0x80) % 22] = static_cast<std::uint8_t>(b);
    write_file(mod, file);
    const auto run = run_program({RENDER, "--info", mod});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, 17), "title: a.....\xA0\xE9z\n");
    EXPECT_NE(run.out.find("sample  1: ......................\n"), std::string::npos) << run.out;
    for (const char c : run.out) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_FALSE((byte < 0x20 && c != '\n') || (byte >= 0x7F && byte <= 0x9F)) << int(byte);
    }
}

}  // namespace
