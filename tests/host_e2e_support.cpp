#include "host_e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace zindle::e2e {

namespace {

long long now_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

}  // namespace

void sleep_ms(int ms) {
    timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

Child::Child(const Spawn& spawn) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [key, value] : spawn.env) replaced |= entry.rfind(key + "=", 0) == 0;
        if (!replaced) env_strings.push_back(entry);
    }
    for (const auto& [key, value] : spawn.env) env_strings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = spawn.argv;
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    int in_pipe[2] = {-1, -1};
    make_pipe(out_pipe);
    make_pipe(err_pipe);
    if (spawn.input == Input::Terminal) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        tcgetattr(slave_, &terminal_at_start_);
    } else if (spawn.input == Input::Pipe) {
        make_pipe(in_pipe);
    }
    const std::string program = args[0];

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        setsid();
        int input = -1;
        if (spawn.input == Input::Terminal) {
            ioctl(slave_, TIOCSCTTY, 0);
            input = slave_;
        } else if (spawn.input == Input::Pipe) {
            input = in_pipe[0];
        } else {
            input = open("/dev/null", O_RDONLY);
        }
        dup2(input, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (!spawn.cwd.empty() && chdir(spawn.cwd.c_str()) != 0) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (spawn.input == Input::Pipe) {
        close(in_pipe[0]);
        input_ = in_pipe[1];
    }
    if (spawn.input == Input::Terminal) input_ = master_;
}

Child::~Child() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    for (int fd : {master_, slave_, out_fd_, err_fd_})
        if (fd >= 0) close(fd);
    if (input_ >= 0 && input_ != master_) close(input_);
}

void Child::send(const std::string& bytes) {
    if (input_ < 0) return;
    // A child that has already gone must fail the test that expected it,
    // not end the whole test program with SIGPIPE.
    static const bool pipe_signal_ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)pipe_signal_ignored;
    const ssize_t put = write(input_, bytes.data(), bytes.size());
    (void)put;
}

void Child::close_input() {
    if (input_ >= 0 && input_ != master_) close(input_);
    input_ = -1;
}

void Child::signal(int number) { kill(pid_, number); }

void Child::read_available(int wait_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, wait_ms) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
    }
}

bool Child::wait_stdout(const std::string& expected, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (out_ != expected && now_ms() < end) {
        if (out_.size() > expected.size() || expected.compare(0, out_.size(), out_) != 0) return false;
        read_available(10);
        if (!running() && out_ != expected) {
            read_available(0);
            return out_ == expected;
        }
    }
    return out_ == expected;
}

bool Child::wait_stdout_contains(const std::string& text, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (out_.find(text) == std::string::npos && now_ms() < end) {
        read_available(10);
        if (!running()) read_available(0);
    }
    return out_.find(text) != std::string::npos;
}

bool Child::running() {
    if (exited_) return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return !exited_;
}

bool Child::wait_exit(int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (running()) {
        if (now_ms() >= end) return false;
        read_available(10);
    }
    // What was written before the end is still in the pipes.
    for (int i = 0; i < 100; ++i) {
        const std::size_t before = out_.size() + err_.size();
        read_available(0);
        if (out_.size() + err_.size() == before) break;
    }
    return true;
}

termios Child::terminal() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
}

bool same_terminal(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

WorkDir::WorkDir(const std::string& tag) {
    const std::string base = ZINDLE_TEST_WORK_DIR;
    std::filesystem::create_directories(base);
    std::string pattern = base + "/" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

WorkDir::~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::uint64_t file_size(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool wait_file_size(const std::string& path, std::uint64_t bytes, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (file_size(path) < bytes) {
        if (now_ms() >= end) return false;
        sleep_ms(5);
    }
    return true;
}

std::string render(const std::string& module, std::uint64_t buffers, std::string* report) {
    const WorkDir dir("render");
    Child renderer({{bin_path("zindle-render"), "--buffers", std::to_string(buffers), module, dir / "out.raw"}});
    if (!renderer.wait_exit(60000) || !WIFEXITED(renderer.status()) || WEXITSTATUS(renderer.status()) != 0)
        throw std::runtime_error("zindle-render failed: " + renderer.err());
    if (report != nullptr) *report = renderer.err();
    return read_file(dir / "out.raw");
}

std::string bin_path(const std::string& program) { return std::string(ZINDLE_BIN_DIR) + "/" + program; }

std::string source_path(const std::string& relative) { return std::string(ZINDLE_SOURCE_DIR) + "/" + relative; }

std::string alsa_config(const std::string& path) {
    if (path.find(' ') == std::string::npos) return path;
    struct Copies {
        std::string dir;
        unsigned count = 0;
        ~Copies() {
            std::error_code ignored;
            if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
        }
    };
    static Copies copies;
    if (copies.dir.empty()) {
        std::string pattern = "/tmp/zindle-alsa-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        copies.dir = pattern;
    }
    const std::string copy = copies.dir + "/" + std::to_string(copies.count++) + ".conf";
    std::filesystem::copy_file(path, copy);
    return copy;
}

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', at), dirs.size());
        if (::access((dirs.substr(at, end - at) + "/" + program).c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    return false;
}

long long waits_of(pid_t pid) {
    long long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stoll(line.substr(24));
    }
    return total;
}

std::string alsa_plugin(const std::string& type) {
    std::vector<std::string> roots;
    if (const char* unpacked = std::getenv("ZINDLE_ALSA_PLUGIN_ROOT"); unpacked != nullptr && *unpacked != '\0')
        roots.emplace_back(unpacked);
    roots.emplace_back();  // installed
    for (const std::string& root : roots)
        for (const char* dir : {"/usr/lib/x86_64-linux-gnu/alsa-lib", "/usr/lib/aarch64-linux-gnu/alsa-lib",
                                "/usr/lib/i386-linux-gnu/alsa-lib", "/usr/lib64/alsa-lib", "/usr/lib/alsa-lib"}) {
            const std::string file = root + dir + "/libasound_module_pcm_" + type + ".so";
            if (::access(file.c_str(), R_OK) == 0) return file;
        }
    return {};
}

}  // namespace zindle::e2e
