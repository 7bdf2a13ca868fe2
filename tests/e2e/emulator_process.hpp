#pragma once
// The emulator program run as a separate process for end-to-end tests, and its admin API.

#include <sys/types.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace dm::test {

using Json = nlohmann::ordered_json;

class EmulatorProcess {
  public:
    // Starts `program` on a free loopback port with the topology file and waits for its ready
    // file; throws std::runtime_error when it does not come up.
    EmulatorProcess(const std::string& program, const std::string& topologyFile,
                    const std::string& workDir, const std::vector<std::string>& extraArgs = {});
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    const Json& ready() const { return ready_; }
    std::string baseUrl() const { return ready_["base_url"]; }
    std::string caFile() const { return ready_["ca_file"]; }
    std::string controllerAddress() const { return ready_["controller_address"]; }

    // One admin request; returns the decoded JSON answer (null for an empty body).
    Json admin(const std::string& method, const std::string& path,
               const Json& body = nullptr) const;
    Json state() const { return admin("GET", "/admin/state"); }
    Json writeLog() const { return admin("GET", "/admin/log"); }
    void clearWriteLog() const { admin("DELETE", "/admin/log"); }

  private:
    pid_t pid_ = -1;
    Json ready_;
};

}  // namespace dm::test
