#include "emulator_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <httplib.h>

extern char** environ;

namespace dm::test {

EmulatorProcess::EmulatorProcess(const std::string& program, const std::string& topologyFile,
                                 const std::string& workDir,
                                 const std::vector<std::string>& extraArgs) {
    namespace fs = std::filesystem;
    const fs::path readyFile = fs::path(workDir) / "emulator-ready.json";
    fs::remove(readyFile);
    std::vector<std::string> args = {program,
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--topology",
                                     topologyFile,
                                     "--ready-file",
                                     readyFile.string(),
                                     "--state-dir",
                                     (fs::path(workDir) / "emulator-state").string()};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string logPath = (fs::path(workDir) / "emulator.log").string();
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(readyFile)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the emulator ended before it was ready; see " + logPath);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the emulator did not get ready in 30 s; see " + logPath);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(readyFile);
    ready_ = Json::parse(in);
}

EmulatorProcess::~EmulatorProcess() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
}

Json EmulatorProcess::admin(const std::string& method, const std::string& path,
                            const Json& body) const {
    httplib::SSLClient client(
        "127.0.0.1", std::stoi(controllerAddress().substr(controllerAddress().rfind(':') + 1)));
    client.set_ca_cert_path(caFile().c_str());
    client.enable_server_certificate_verification(true);
    const std::string text = body.is_null() ? std::string() : body.dump();
    httplib::Result res = method == "GET" ? client.Get(path.c_str())
                          : method == "DELETE"
                              ? client.Delete(path.c_str())
                              : client.Post(path.c_str(), text, "application/json");
    if (!res)
        throw std::runtime_error("admin " + method + " " + path + " failed");
    if (res->status >= 300) {
        throw std::runtime_error("admin " + method + " " + path + ": " +
                                 std::to_string(res->status) + " " + res->body);
    }
    return res->body.empty() ? Json() : Json::parse(res->body);
}

}  // namespace dm::test
