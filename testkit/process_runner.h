// Runs a program and collects what it wrote, for the tests of the
// programs.
#pragma once

#include <string>
#include <vector>

namespace zindle::test {

// Runs a program (args[0] is its path) in `cwd` (or here when empty) with
// no standard input and returns its exit code (-1 if it did not exit
// normally) and everything it wrote to standard output and error.
struct ProgramResult {
    int exit_code;
    std::string out;
    std::string err;
};
ProgramResult run_program(const std::vector<std::string>& args, const std::string& cwd = "");

}  // namespace zindle::test
