#pragma once
// Runs a program to completion and captures its output, for end-to-end tests.

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

}  // namespace dm::test
