#include "process_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace zindle::test {

namespace {
std::string read_all(std::FILE* f) {
    std::string bytes;
    std::rewind(f);
    char chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    std::fclose(f);
    return bytes;
}
}  // namespace

ProgramResult run_program(const std::vector<std::string>& args, const std::string& cwd) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) throw std::runtime_error("tmpfile");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        const int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in < 0 || ::dup2(null_in, 0) < 0 || ::dup2(::fileno(out), 1) < 0 || ::dup2(::fileno(err), 2) < 0)
            ::_exit(126);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid");
    }
    ProgramResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_all(out);
    result.err = read_all(err);
    return result;
}

}  // namespace zindle::test
