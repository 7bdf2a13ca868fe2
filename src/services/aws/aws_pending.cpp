// Placeholder until the S3 client lands: every transfer fails with a clear message.
#include <iostream>

#include "core/error.hpp"
#include "services/aws/aws.hpp"

namespace dm {
namespace {
bool g_dryRun = false;
}

void Aws::setDryRun() { g_dryRun = true; }
bool Aws::isDryRun() { return g_dryRun; }
bool Aws::downloadS3Yaml(const std::string&) {
    std::cout << "S3 transfer is not available in this build" << std::endl;
    return false;
}
void Aws::downloadAllFiles(const Record&, const std::string&) {
    throw Error("S3 transfer is not available in this build");
}
void Aws::uploadAllFiles(const Record&, const std::string&, const std::string&) {
    throw Error("S3 transfer is not available in this build");
}
void Aws::deleteBucketObj(const Record&, const std::string&, const std::string&) {
    throw Error("S3 transfer is not available in this build");
}
}  // namespace dm
