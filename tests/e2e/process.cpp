#include "process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace dm::test {
namespace {
std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the program; with a delay, kills its process group once the delay has passed.
KilledRun run(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, const std::string& cwd,
              std::optional<std::chrono::microseconds> killDelay) {
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
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (killDelay) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }

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
    const auto start = std::chrono::steady_clock::now();
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(outFd);
    close(errFd);
    KilledRun run;
    if (rc == 0) {
        int status = 0;
        if (killDelay) {
            // Polled in steps of a millisecond at most: fine enough for a kill moment drawn
            // over a run of seconds.
            const auto deadline = start + *killDelay;
            for (;;) {
                const pid_t ended = waitpid(pid, &status, WNOHANG);
                if (ended == pid)
                    break;
                if (ended < 0 && errno != EINTR)
                    throw std::runtime_error("cannot wait for " + program);
                const auto now = std::chrono::steady_clock::now();
                if (now >= deadline) {
                    kill(-pid, SIGKILL);
                    waitpid(pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    deadline - now, std::chrono::milliseconds(1)));
            }
            // The program may have ended on its own just before the signal.
            run.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        } else {
            waitpid(pid, &status, 0);
        }
        run.result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    run.result.out = slurp(outTmpl);
    run.result.err = slurp(errTmpl);
    std::remove(outTmpl);
    std::remove(errTmpl);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);
    return run;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, const std::string& cwd) {
    return run(program, args, env, cwd, std::nullopt).result;
}

KilledRun runProcessKilledAfter(const std::string& program, const std::vector<std::string>& args,
                                std::chrono::microseconds delay,
                                const std::map<std::string, std::string>& env,
                                const std::string& cwd) {
    return run(program, args, env, cwd, delay);
}

}  // namespace dm::test
