// S3's and STS's XML answers as the clients read them: ListObjectsV2 pages and their
// continuation, objects, AssumeRole grants with their expiry time, error bodies, and the shared
// credentials file. The input is an operation line and the answers (see fuzz_support.hpp).
// Beyond not crashing, it checks that the error reader never throws and that no listed key maps
// to a download path outside the account folder.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "fuzz_support.hpp"
#include "platform/aws/credentials.hpp"
#include "platform/aws/errors.hpp"
#include "platform/aws/s3_client.hpp"
#include "platform/aws/sts_client.hpp"
#include "services/aws/archive_layout.hpp"

namespace {

using dm::fuzz::require;
namespace aws = dm::aws;

const std::string kPrefix = "archive/spoke_prod/";
const std::chrono::system_clock::time_point kNow{std::chrono::hours(480'000)};

// A download path must stay inside the account folder whatever the key.
void checkDownloadPath(const std::string& key) {
    const auto relative = dm::s3::relativePathOfKey(kPrefix, key);
    if (!relative)
        return;
    const std::filesystem::path inside =
        (std::filesystem::path("/account") / *relative).lexically_normal();
    require(inside.string().rfind("/account/", 0) == 0 && inside != "/account/",
            "key " + key + " maps outside the account folder: " + inside.string());
    for (char c : *relative)
        require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "control character in " + key);
}

// The readers each answer may reach, whatever the operation.
void readBody(const std::string& body) {
    aws::parseErrorXml(body);  // documented never to throw: not caught
    try {
        aws::parseListObjectsV2(body);
    } catch (const dm::Error&) {
    }
    try {
        aws::parseAssumeRoleResponse(body, "arn:aws:iam::123456789012:role/r", kNow);
    } catch (const dm::Error&) {
    }
    aws::parseIsoTime(body);
}

void run(const std::string& operation, const std::deque<dm::http::Response>& answers,
         const std::shared_ptr<dm::http::Transport>& transport) {
    aws::S3Client s3({"us-east-1", std::string("http://127.0.0.1:1")}, transport);
    if (operation == "list") {
        for (const auto& object : s3.listObjects("bucket", kPrefix))
            checkDownloadPath(object.key);
    } else if (operation == "object") {
        s3.getObject("bucket", kPrefix + "discovery.yaml");
        s3.putObject("bucket", kPrefix + "revert.json", "{}");
        s3.deleteObject("bucket", kPrefix + "revert.json");
    } else if (operation == "sts") {
        aws::AssumedRoleCredentials role(transport, "http://127.0.0.1:1",
                                         aws::roleArn("123456789012", "r"), [] { return kNow; });
        const aws::Credentials first = role.get();
        require(!first.accessKeyId.empty() && !first.secretAccessKey.empty() &&
                    !first.sessionToken.empty() && first.expiration,
                "granted keys lack a part");
        role.get();
    } else if (operation == "credentials") {
        const std::string text = answers.empty() ? std::string() : answers.front().body;
        for (const char* profile : {"default", "prod"}) {
            if (auto keys = aws::parseSharedCredentials(text, profile, "credentials")) {
                require(!keys->accessKeyId.empty() && !keys->secretAccessKey.empty(),
                        "a profile read without its keys");
            }
        }
    }
}

const std::vector<std::string> kOperations = {"list", "object", "sts", "credentials"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dm::fuzz::FreshRun fresh;
    dm::fuzz::Script script = dm::fuzz::readScript(data, size, kOperations);
    const std::string& operation = script.operation;
    for (const auto& answer : script.answers)
        readBody(answer.body);

    const std::deque<dm::http::Response> answers = script.answers;
    auto transport = std::make_shared<dm::fuzz::ScriptedTransport>(
        std::move(script.answers),
        dm::fuzz::answer(200,
                         "<ListBucketResult><IsTruncated>false</IsTruncated>"
                         "</ListBucketResult>"));
    try {
        run(operation, answers, transport);
    } catch (const dm::Error&) {
    }
    return 0;
}
