#include "process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace dm::test {
namespace {
std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& cwd) {
    char outTmpl[] = "/tmp/dmproc-out-XXXXXX";
    char errTmpl[] = "/tmp/dmproc-err-XXXXXX";
    int outFd = mkstemp(outTmpl);
    int errFd = mkstemp(errTmpl);
    if (outFd < 0 || errFd < 0)
        throw std::runtime_error("mkstemp failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        if (!env.count(kv.substr(0, kv.find('='))))
            envStrings.push_back(kv);
    }
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    ProcessResult result;
    if (rc == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = slurp(outTmpl);
    result.err = slurp(errTmpl);
    std::remove(outTmpl);
    std::remove(errTmpl);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);
    return result;
}

}  // namespace dm::test
