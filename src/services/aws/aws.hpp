#pragma once
// Aws: S3 transfer of the discovery YAML and of the account folder archive.

#include <string>

#include "core/record.hpp"

namespace dm {

class Aws {
public:
    static void setDryRun();
    static bool isDryRun();
    // Fetches the YAML named by "<s3_account>,<s3_role>,<s3_bucket>,<spoke_account>" into
    // "/tmp/discovery.yaml"; false (after printing why) when it could not.
    static bool downloadS3Yaml(const std::string& spec);
    // Restores the archived account folder into `folder`.
    static void downloadAllFiles(const Record& yaml, const std::string& folder);
    // Archives the account folder under the step name `step`.
    static void uploadAllFiles(const Record& yaml, const std::string& folder,
                               const std::string& step);
    // Removes one object of the account's archive.
    static void deleteBucketObj(const Record& yaml, const std::string& folder,
                                const std::string& objectName);
};

}  // namespace dm
