#pragma once
// Aws: S3 transfer of the discovery YAML and of the account folder archive.
//
// The archive of an account folder "<output_folder>/<name>" is the set of objects
// "[<s3.prefix>/]<name>/<path inside the folder>" in the bucket of the YAML's "s3" section,
// reached with the keys of the role "arn:aws:iam::<s3.account>:role/<s3.role>" (docs/s3.md).

#include <string>

#include "core/record.hpp"

namespace dm {

class Aws {
  public:
    // After this the run is a dry run: uploads and deletions are logged as "[dry-run] ..."
    // lines and skipped; downloads still happen. The S3 sessions (keys, connections) belong to
    // the run.
    static void setDryRun();
    static bool isDryRun();
    // Fetches the YAML named by "<s3_account>,<s3_role>,<s3_bucket>,<spoke_account>" (object
    // "<spoke_account>/discovery.yaml") into "/tmp/discovery.yaml"; false (after printing why
    // on standard output) when it could not.
    static bool downloadS3Yaml(const std::string& yamlInfo);
    // The same into `target`, written atomically: a failure leaves the previous file as it was.
    static bool downloadS3Yaml(const std::string& yamlInfo, const std::string& target);
    // Restores the archived account folder into `folder`, overwriting files of the same name
    // and leaving others alone; an empty archive is logged as an alert. Throws dm::Error (with
    // S3's Code and Message) when the settings are wrong or a transfer fails.
    static void downloadAllFiles(const Record& yaml, const std::string& folder);
    // Archives every regular file of the account folder, labelled with the step name `step`
    // (object metadata "dm-step"). Throws dm::Error when the folder cannot be read or a
    // transfer fails; files sent before the failure stay archived.
    static void uploadAllFiles(const Record& yaml, const std::string& folder,
                               const std::string& step);
    // Removes one object of the account's archive, `objectName` being its path inside the
    // folder; removing an object that is not there succeeds. Throws dm::Error on failure.
    static void deleteBucketObj(const Record& yaml, const std::string& folder,
                                const std::string& objectName);
};

}  // namespace dm
