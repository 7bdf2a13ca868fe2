#pragma once
// Runs a program to completion, or kills it midway, and captures its output, for end-to-end
// tests.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace dm::test {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` in `cwd` (empty: the current folder), with the current environment
// plus `env`, standard input closed.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& cwd = {});

struct KilledRun {
    bool killed = false;   // SIGKILL ended it; otherwise it ended by itself before the delay
    ProcessResult result;  // exit code 128 + 9 when killed
};

// As runProcess, but the program is killed with SIGKILL once `delay` has passed since its start,
// unless it ended first. It runs in a process group of its own, and the whole group is killed,
// so that nothing it started outlives it.
KilledRun runProcessKilledAfter(const std::string& program, const std::vector<std::string>& args,
                                std::chrono::microseconds delay,
                                const std::map<std::string, std::string>& env = {},
                                const std::string& cwd = {});

}  // namespace dm::test
