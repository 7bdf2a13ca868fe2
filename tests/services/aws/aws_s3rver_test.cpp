// The Aws service against a real S3-compatible server on loopback (s3rver, which knows only the
// keys that the stand-in STS hands out for the role): archive round trip, dry run, the discovery
// YAML download and the services' refusals. Skipped, with the reason, when s3rver cannot be
// installed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "fake_sts.hpp"
#include "platform/aws/s3_client.hpp"
#include "platform/aws/sigv4_transport.hpp"
#include "services/aws/aws.hpp"
#include "support/log_capture.hpp"
#include "support/scoped.hpp"
#include "support/scoped_run.hpp"

extern char** environ;

namespace dm {
namespace {

using dm::testing::LogCapture;
using dm::testing::readFile;
using dm::testing::ScopedEnv;
using dm::testing::TempDir;
using dm::testing::writeFile;
namespace fs = std::filesystem;

constexpr const char* kBucket = "dm-archive";
constexpr const char* kBaseKey = "AKIDBASEEXAMPLE";
// s3rver's built-in account; only the assumed role hands these out.
constexpr const char* kServerKey = "S3RVER";

struct Install {
    std::string script;  // empty when not installed
    std::string reason;
};

// Runs the install script once per process; its last output line is the start script path,
// or the reason it failed.
const Install& installS3rver() {
    static const Install install = [] {
        Install result;
        const std::string command = std::string("bash '") + DM_S3RVER_INSTALL_SCRIPT + "' 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            result.reason = "cannot run " + std::string(DM_S3RVER_INSTALL_SCRIPT);
            return result;
        }
        std::string output;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        const int status = ::pclose(pipe);
        while (!output.empty() && output.back() == '\n')
            output.pop_back();
        const std::string last = output.substr(output.rfind('\n') + 1);
        if (status == 0 && fs::exists(last)) {
            result.script = last;
        } else {
            result.reason = "s3rver is not available: " + output;
        }
        return result;
    }();
    return install;
}

// One s3rver process on a free loopback port, with the test bucket; stopped on destruction.
class S3rverProcess {
  public:
    S3rverProcess(const std::string& script, const fs::path& dataDir) {
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        const std::string data = dataDir.string();
        const std::string log = (dataDir.parent_path() / "s3rver.log").string();
        std::vector<std::string> args = {"node",      script, "-d", data, "-a",
                                         "127.0.0.1", "-p",   "0",  "-s", "--configure-bucket",
                                         kBucket};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const int rc = ::posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            pid_ = -1;
            throw std::runtime_error("cannot start node");
        }
        // It prints "S3rver listening on 127.0.0.1:<port>" once the bucket is ready.
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd fd{out[0], POLLIN, 0};
            if (::poll(&fd, 1, 200) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen.append(buffer, static_cast<std::size_t>(n));
            const auto at = seen.find("listening on ");
            const auto end = seen.find('\n', at);
            if (at != std::string::npos && end != std::string::npos) {
                const std::string address = seen.substr(at, end - at);
                port_ = std::stoi(address.substr(address.rfind(':') + 1));
            }
        }
        ::close(out[0]);
        if (port_ == 0) {
            stop();
            throw std::runtime_error("s3rver did not start: " + seen + readFile(log));
        }
    }
    S3rverProcess(const S3rverProcess&) = delete;
    S3rverProcess& operator=(const S3rverProcess&) = delete;
    ~S3rverProcess() { stop(); }

    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 50 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

class S3rverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const Install& install = installS3rver();
        if (install.script.empty())
            GTEST_SKIP() << install.reason;
        server_ = std::make_unique<S3rverProcess>(install.script, dir_.path() / "s3rver-data");
        sts_.grant = {kServerKey, kServerKey, "session-token"};
    }

    testing::ScopedRun run_;

    Record yaml(const std::string& bucket = kBucket) const {
        return Record{{"document_type", "AZURE"},
                      {"s3",
                       {{"bucket", bucket},
                        {"region", "us-east-1"},
                        {"account", "123456789012"},
                        {"role", "dm-migration"},
                        {"endpoint_url", server_->endpoint()},
                        {"sts_endpoint_url", sts_.endpoint()}}}};
    }

    // A client with s3rver's own keys, to look at the bucket behind the service's back.
    aws::S3Client inspector() const {
        aws::SigV4Options options{"s3", "us-east-1", [] {
                                      return aws::Credentials{kServerKey, kServerKey};
                                  }};
        return aws::S3Client({"us-east-1", server_->endpoint()},
                             std::make_shared<aws::SigV4Transport>(std::move(options)));
    }

    std::vector<std::string> archivedKeys(const std::string& prefix = "") const {
        std::vector<std::string> keys;
        for (const auto& object : inspector().listObjects(kBucket, prefix))
            keys.push_back(object.key);
        return keys;
    }

    fs::path accountFolder(const std::string& under) const {
        const fs::path folder = dir_.path() / under / "spoke_prod";
        fs::create_directories(folder);
        return folder;
    }

    TempDir dir_;
    dm::testing::FakeSts sts_;
    std::unique_ptr<S3rverProcess> server_;
    // Base keys that s3rver does not know: only the assumed role's keys get in.
    ScopedEnv keyId_{"AWS_ACCESS_KEY_ID", kBaseKey};
    ScopedEnv secret_{"AWS_SECRET_ACCESS_KEY", "base-secret"};
    ScopedEnv token_{"AWS_SESSION_TOKEN", std::nullopt};
    ScopedEnv profile_{"AWS_PROFILE", std::nullopt};
    ScopedEnv region_{"AWS_REGION", std::nullopt};
    ScopedEnv s3Endpoint_{"AWS_ENDPOINT_URL_S3", std::nullopt};
    ScopedEnv stsEndpoint_{"AWS_ENDPOINT_URL_STS", std::nullopt};
    ScopedEnv anyEndpoint_{"AWS_ENDPOINT_URL", std::nullopt};
};

TEST_F(S3rverTest, ArchiveRoundTripThroughTheAssumedRole) {
    const fs::path source = accountFolder("source");
    std::string binary;
    for (int i = 0; i < 256; ++i)
        binary += static_cast<char>(i);
    fs::create_directories(source / "tmp");
    fs::create_directories(source / "modules" / "telvane managed");
    writeFile(source / "spoke-vnet-1.tf",
              "module \"spoke-vnet-1\" {\n  switch_traffic = true\n}\n");
    writeFile(source / "tmp" / "revert.json", "{\"peerings\": {}}");
    writeFile(source / "modules" / "telvane managed" / "state+1.bin", binary);
    writeFile(source / "empty.txt", "");

    Aws::uploadAllFiles(yaml(), source.string(), "switch");
    EXPECT_EQ(archivedKeys(), (std::vector<std::string>{
                                  "spoke_prod/empty.txt",
                                  "spoke_prod/modules/telvane managed/state+1.bin",
                                  "spoke_prod/spoke-vnet-1.tf",
                                  "spoke_prod/tmp/revert.json",
                              }));
    // STS was asked with the base keys (s3rver knows only the role's).
    EXPECT_EQ(sts_.authorizations().at(0).find("AWS4-HMAC-SHA256 Credential=AKIDBASEEXAMPLE/"), 0u);

    const fs::path restored = accountFolder("restored");
    writeFile(restored / "local-only.tf", "kept");
    Aws::downloadAllFiles(yaml(), restored.string());
    EXPECT_EQ(readFile(restored / "modules" / "telvane managed" / "state+1.bin"), binary);
    EXPECT_EQ(readFile(restored / "tmp" / "revert.json"), "{\"peerings\": {}}");
    EXPECT_EQ(readFile(restored / "spoke-vnet-1.tf"), readFile(source / "spoke-vnet-1.tf"));
    EXPECT_TRUE(fs::exists(restored / "empty.txt"));
    EXPECT_EQ(readFile(restored / "local-only.tf"), "kept");

    Aws::deleteBucketObj(yaml(), restored.string(), "tmp/revert.json");
    EXPECT_EQ(archivedKeys("spoke_prod/tmp/"), std::vector<std::string>{});
    EXPECT_NO_THROW(Aws::deleteBucketObj(yaml(), restored.string(), "tmp/revert.json"));
    EXPECT_EQ(archivedKeys().size(), 3u);
    // One session for all of it: the role was assumed once.
    EXPECT_EQ(sts_.authorizations().size(), 1u);
}

TEST_F(S3rverTest, DryRunStillDownloadsButNeitherUploadsNorDeletes) {
    const fs::path source = accountFolder("source");
    writeFile(source / "spoke-vnet-1.tf", "original");
    writeFile(source / "terraform-import-associations.sh", "#!/bin/bash\n");
    Aws::uploadAllFiles(yaml(), source.string(), "switch");

    Aws::setDryRun();
    writeFile(source / "spoke-vnet-1.tf", "changed in a dry run");
    LogCapture capture({"dm.aws"}, spdlog::level::info, "%v");
    Aws::uploadAllFiles(yaml(), source.string(), "switch");
    Aws::deleteBucketObj(yaml(), source.string(), "terraform-import-associations.sh");
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{
                  "- Upload account folder " + source.string() +
                      " to s3://dm-archive/spoke_prod/ (step switch)",
                  "[dry-run] upload spoke-vnet-1.tf to s3://dm-archive/spoke_prod/spoke-vnet-1.tf",
                  "[dry-run] upload terraform-import-associations.sh to "
                  "s3://dm-archive/spoke_prod/terraform-import-associations.sh",
                  "- Delete s3://dm-archive/spoke_prod/terraform-import-associations.sh",
                  "[dry-run] delete s3://dm-archive/spoke_prod/terraform-import-associations.sh",
              }));
    EXPECT_EQ(archivedKeys().size(), 2u);
    EXPECT_EQ(inspector().getObject(kBucket, "spoke_prod/spoke-vnet-1.tf"), "original");

    const fs::path restored = accountFolder("restored");
    Aws::downloadAllFiles(yaml(), restored.string());
    EXPECT_EQ(readFile(restored / "spoke-vnet-1.tf"), "original");
}

TEST_F(S3rverTest, DiscoveryYamlComesFromTheSpokeAccountsFolder) {
    const fs::path source = accountFolder("source");
    writeFile(source / "discovery.yaml", "document_type: AZURE\n");
    Aws::uploadAllFiles(yaml(), source.string(), "discovery");

    ScopedEnv s3("AWS_ENDPOINT_URL_S3", server_->endpoint());
    ScopedEnv sts("AWS_ENDPOINT_URL_STS", sts_.endpoint());
    const std::string target = dir_.file("discovery.yaml");
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(Aws::downloadS3Yaml("123456789012, dm-migration, dm-archive, spoke_prod", target));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Downloaded s3://dm-archive/spoke_prod/discovery.yaml to " + target + "\n");
    EXPECT_EQ(readFile(target), "document_type: AZURE\n");

    // A failed download says why and leaves the previous file alone.
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(Aws::downloadS3Yaml("123456789012,dm-migration,dm-archive,nobody", target));
    EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind(
                  "Cannot download the discovery YAML: GET s3://dm-archive/nobody/discovery.yaml: "
                  "(NoSuchKey) ",
                  0),
              0u);
    EXPECT_EQ(readFile(target), "document_type: AZURE\n");
}

TEST_F(S3rverTest, RefusalsStopTheTransferWithTheServicesReason) {
    const fs::path folder = accountFolder("source");
    auto failure = [&](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const Error& error) {
            return error.what();
        }
        return "(no failure)";
    };
    EXPECT_EQ(failure([&] {
                  Aws::downloadAllFiles(yaml("dm-missing"), folder.string());
              }).rfind("list s3://dm-missing/spoke_prod/: (NoSuchBucket) ", 0),
              0u);
    testing::ScopedRun fresh;  // a new run asks for new role keys
    sts_.refuse = true;
    EXPECT_EQ(failure([&] { Aws::downloadAllFiles(yaml(), folder.string()); }),
              "AssumeRole arn:aws:iam::123456789012:role/dm-migration: (AccessDenied) not "
              "authorized to perform sts:AssumeRole (HTTP 403, request id sts-1)");
}

}  // namespace
}  // namespace dm
