#pragma once
// Globals: the toolkit's class-level names for what the run shares, read from the run context.

#include <string>

#include "core/record.hpp"
#include "services/context/run_context.hpp"

namespace dm {

class Globals {
  public:
    Globals() = delete;

    // The controller login id (never logged) and the controller API endpoint URL.
    static const std::string& CID() { return currentRun().cid; }
    static const std::string& api_ep_url() { return currentRun().apiEndpointUrl; }
    // The option record of the VNet being processed (on this thread).
    static Record& yaml() { return currentRun().currentVnetOptions(); }

    static void setRevert(bool flag) { currentRun().revert = flag; }
    static bool getRevert() { return currentRun().revert; }
    static bool getDryRun() { return currentRun().dryRun.active(); }

    // The account's revert record, which pipelines add to in place; null when no account is
    // being processed.
    static Record* getRevertInfo() { return currentRun().currentRevertRecord(); }

    // The account folder that Common::setupTargetFolder prepared last; empty before that.
    static void setTargetFolder(std::string folder) {
        currentRun().accountFolder = std::move(folder);
    }
    static const std::string& getTargetFolder() { return currentRun().accountFolder; }

    // Relative path, inside the account's S3 archive, of the run's temporary files.
    static std::string getRelativeTmpPath() { return "tmp"; }
};

}  // namespace dm
