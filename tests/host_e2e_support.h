// Running the player and the renderer as child processes for the
// end-to-end tests: a pseudo-terminal or a pipe for the keys, pipes for the
// output, files for the captured sound.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zindle::e2e {

enum class Input { Terminal, Pipe, Nothing };

struct Spawn {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env;  // added to this process's environment
    std::string cwd;
    Input input = Input::Nothing;
};

class Child {
public:
    explicit Child(const Spawn& spawn);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Keys: to the terminal or the pipe.
    void send(const std::string& bytes);
    void close_input();
    void signal(int number);

    // Waits until standard output holds exactly `expected` (true) or the
    // time runs out (false); reads whatever comes meanwhile.
    bool wait_stdout(const std::string& expected, int timeout_ms);
    // Waits until standard output contains `text` (true) or the time runs
    // out (false).
    bool wait_stdout_contains(const std::string& text, int timeout_ms);
    // Waits for the end; false when it did not come in time.
    bool wait_exit(int timeout_ms);
    bool running();

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    int status() const { return status_; }  // as from waitpid
    pid_t pid() const { return pid_; }
    // The terminal's settings as the child left them (Terminal input only).
    termios terminal() const;
    termios terminal_at_start() const { return terminal_at_start_; }

private:
    void read_available(int wait_ms);
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    int master_ = -1;
    int slave_ = -1;
    int input_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    termios terminal_at_start_{};
};

bool same_terminal(const termios& a, const termios& b);

// A fresh folder under the build tree, removed by the destructor.
class WorkDir {
public:
    explicit WorkDir(const std::string& tag);
    ~WorkDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::uint64_t file_size(const std::string& path);
// Waits until the file holds at least `bytes`; false when the time runs out.
bool wait_file_size(const std::string& path, std::uint64_t bytes, int timeout_ms);

// The reference: zindle-render's first `buffers` buffers of the module, raw,
// and the console report it wrote to standard error.
std::string render(const std::string& module, std::uint64_t buffers, std::string* report = nullptr);

// Folders and programs of this build.
std::string bin_path(const std::string& program);
std::string source_path(const std::string& relative);

void sleep_ms(int ms);

// A path for ALSA_CONFIG_PATH. ALSA splits that variable at blanks, so a
// file whose path holds one is given as a copy (taken now) in a blank-free
// temporary folder, removed when the test program ends.
std::string alsa_config(const std::string& path);

// Whether CI runs this: there a missing part fails a test instead of
// skipping it.
bool in_ci();
// Whether the program is found on PATH.
bool on_path(const std::string& program);
// Waits so far by all of a process's threads (context switches they asked
// for): a process that sleeps until it has work adds one per wake-up.
long long waits_of(pid_t pid);
// The file of ALSA's plugin for a PCM type ("pulse", "pipewire"), installed
// or unpacked under $ZINDLE_ALSA_PLUGIN_ROOT; empty when there is none.
std::string alsa_plugin(const std::string& type);

}  // namespace zindle::e2e
