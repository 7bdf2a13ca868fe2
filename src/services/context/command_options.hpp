#pragma once
// The parsed command line of dm.arm.switch_traffic.

#include <optional>
#include <string>

namespace dm {

struct CommandOptions {
    std::optional<std::string> ctrl_user;
    std::optional<std::string> s3_yaml_download;
    bool s3backup = false;
    bool s3download = false;
    std::optional<std::string> yaml_file;
    bool revert = false;
    bool dry_run = false;
    bool debug = false;
    bool no_progress = false;
    // VNets of an account switched (or reverted) at once; 1 is one after another.
    int parallel = 1;
};

}  // namespace dm
