#pragma once
// Globals: the toolkit's process-wide context, set by the driver before it is read.

#include <optional>
#include <string>

#include "core/record.hpp"

namespace dm {

class Globals {
public:
    static inline std::string CID;         // controller login id; never logged
    static inline std::string api_ep_url;  // controller API endpoint URL
    static inline Record yaml;             // option record of the VNet being processed

    static void setRevert(bool flag) { revert_ = flag; }
    static bool getRevert() { return revert_; }
    static void setDryRun(bool flag) { dryRun_ = flag; }
    static bool getDryRun() { return dryRun_; }

    // The account's revert record, shared by reference: pipelines add to it in place. Null when
    // no account is being processed.
    static void setRevertInfo(Record& record) { revertInfo_ = &record; }
    static Record* getRevertInfo() { return revertInfo_; }

    // The account folder that Common::setupTargetFolder prepared last; empty before that.
    static void setTargetFolder(std::string folder) { targetFolder_ = std::move(folder); }
    static const std::string& getTargetFolder() { return targetFolder_; }

    // Relative path, inside the account's S3 archive, of the run's temporary files.
    static std::string getRelativeTmpPath() { return "tmp"; }

    // Back to the state at process start; for tests that run several start-ups in one process.
    static void reset() {
        CID.clear();
        api_ep_url.clear();
        yaml = Record();
        revert_ = dryRun_ = false;
        revertInfo_ = nullptr;
        targetFolder_.clear();
    }

private:
    static inline bool revert_ = false;
    static inline bool dryRun_ = false;
    static inline Record* revertInfo_ = nullptr;
    static inline std::string targetFolder_;
};

}  // namespace dm
