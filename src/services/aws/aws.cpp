#include "services/aws/aws.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "core/error.hpp"
#include "core/text.hpp"
#include "platform/aws/credentials.hpp"
#include "platform/aws/log.hpp"
#include "platform/aws/s3_client.hpp"
#include "platform/aws/sigv4_transport.hpp"
#include "platform/aws/sts_client.hpp"
#include "platform/http/dry_run_guard.hpp"
#include "platform/http/retry.hpp"
#include "services/aws/archive_layout.hpp"
#include "services/context/globals.hpp"
#include "services/context/run_context.hpp"

namespace dm {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDiscoveryYamlPath = "/tmp/discovery.yaml";
constexpr const char* kStepMetadata = "dm-step";

// What decides which keys and endpoints a session uses; equal keys share one session.
struct SessionKey {
    std::string region;
    std::optional<std::string> endpointUrl;
    std::optional<std::string> stsEndpointUrl;
    std::optional<std::string> caBundle;
    std::optional<std::string> account;
    std::optional<std::string> role;

    auto tie() const {
        return std::tie(region, endpointUrl, stsEndpointUrl, caBundle, account, role);
    }
    bool operator<(const SessionKey& other) const { return tie() < other.tie(); }
};

// The run's S3 sessions (base keys, assumed-role keys, connections).
struct AwsSessions {
    std::map<SessionKey, std::shared_ptr<aws::S3Client>> clients;
};

std::map<SessionKey, std::shared_ptr<aws::S3Client>>& sessions() {
    return currentRun().service<AwsSessions>().clients;
}

bool dryRun() {
    return currentRun().dryRun.active();
}

// STS answers role requests with POSTs that change nothing; S3 reads are GET and HEAD.
bool isReadingRequest(const http::Request& request) {
    return http::isSafeMethod(request) ||
           (request.method == "POST" && request.body.find("Action=AssumeRole") == 0);
}

SessionKey keyOf(const s3::Settings& settings) {
    return {settings.region,   settings.endpointUrl, settings.stsEndpointUrl,
            settings.caBundle, settings.account,     settings.role};
}

std::shared_ptr<http::Transport> signedTransport(const std::string& service, const SessionKey& key,
                                                 aws::CredentialsProvider credentials) {
    aws::SigV4Options options;
    options.service = service;
    options.region = key.region;
    options.credentials = std::move(credentials);
    options.caBundle = key.caBundle;
    return currentRun().guarded(std::make_shared<http::RetryingTransport>(
                                    std::make_shared<aws::SigV4Transport>(std::move(options))),
                                isReadingRequest);
}

// The secret parts of AWS keys; the access key id names the keys and stays readable.
void addSecrets(SecretSet& secrets, const aws::Credentials& keys) {
    secrets.add(keys.secretAccessKey);
    secrets.add(keys.sessionToken);
}

// The S3 client of a session: base keys read once, then, when a role is named, temporary keys
// of that role, refreshed before they expire.
std::shared_ptr<aws::S3Client> s3Client(const SessionKey& key) {
    if (auto found = sessions().find(key); found != sessions().end())
        return found->second;
    auto secrets = currentRun().secrets;
    const aws::Credentials base = aws::loadBaseCredentials();
    addSecrets(*secrets, base);
    aws::CredentialsProvider provider = [base] { return base; };
    if (key.account && key.role) {
        auto sts = signedTransport("sts", key, provider);
        auto assumed = std::make_shared<aws::AssumedRoleCredentials>(
            sts, aws::stsEndpoint(key.region, key.stsEndpointUrl),
            aws::roleArn(*key.account, *key.role));
        // Temporary keys join the run's secrets as they come (the set keeps each once).
        provider = [assumed, secrets] {
            aws::Credentials keys = assumed->get();
            addSecrets(*secrets, keys);
            return keys;
        };
    }
    auto client = std::make_shared<aws::S3Client>(aws::S3ClientOptions{key.region, key.endpointUrl},
                                                  signedTransport("s3", key, std::move(provider)));
    sessions().emplace(key, client);
    return client;
}

[[noreturn]] void failIo(const std::string& what, const fs::path& path, int error) {
    throw Error(fmt::format("cannot {} {}: {}", what, path.string(), std::strerror(error)));
}

// Writes through a temporary file in the same folder, fsynced and renamed over `path`, so that
// a failure or a crash leaves the old file or the new one, never a part.
void writeFileAtomically(const fs::path& path, std::string_view content) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        throw Error(fmt::format("cannot create folder {}: {}", folder.string(), ec.message()));
    std::string temp = (folder / ("." + path.filename().string() + ".dm-XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        failIo("create a temporary file for", path, errno);
    auto fail = [&](const char* what) {
        const int error = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        failIo(what, path, error);
    };
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0)
        fail("write");
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        failIo("write", path, error);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        failIo("replace", path, error);
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::string readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        failIo("read", path, errno);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        failIo("read", path, errno);
    return content.str();
}

// The folder's regular files as "/"-separated relative paths, sorted so that uploads and their
// log lines come in a stable order. Symbolic links are not followed.
std::vector<std::string> filesOf(const fs::path& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    if (ec)
        throw Error(fmt::format("cannot read folder {}: {}", folder.string(), ec.message()));
    for (; it != end; it.increment(ec)) {
        if (ec)
            throw Error(fmt::format("cannot read folder {}: {}", folder.string(), ec.message()));
        if (it->is_symlink(ec) || !it->is_regular_file(ec))
            continue;
        std::string relative = it->path().lexically_relative(folder).generic_string();
        // The run's lock belongs to this machine; restored elsewhere it would lock nothing.
        if (relative == Globals::getRelativeTmpPath() + "/account.lock")
            continue;
        files.push_back(std::move(relative));
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Text for standard output, which the log's masking does not cover: an S3 or STS answer may
// echo the keys.
std::string masked(const std::string& text) {
    const RunContext* run = currentRunIfAny();
    return run ? run->secrets->mask(text) : text;
}

void checkStep(const std::string& step) {
    if (!s3::isSafeRelativePath(step) || step.find('/') != std::string::npos)
        throw Error(fmt::format("invalid archive step name \"{}\"", step));
}

}  // namespace

void Aws::setDryRun() {
    currentRun().dryRun.activate();
}
bool Aws::isDryRun() {
    return dryRun();
}

bool Aws::downloadS3Yaml(const std::string& yamlInfo) {
    return downloadS3Yaml(yamlInfo, kDiscoveryYamlPath);
}

bool Aws::downloadS3Yaml(const std::string& yamlInfo, const std::string& target) {
    // Logging is not configured yet when this runs: every outcome goes to standard output.
    s3::YamlSource source;
    try {
        source = s3::parseYamlSource(yamlInfo);
    } catch (const Error& error) {
        std::cout << masked(error.what()) << std::endl;
        return false;
    }
    const std::string key = s3::discoveryYamlKey(source);
    try {
        SessionKey session{s3::regionFromEnvironment(),
                           s3::endpointFromEnvironment("S3"),
                           s3::endpointFromEnvironment("STS"),
                           std::nullopt,
                           source.account,
                           source.role};
        const std::string body = s3Client(session)->getObject(source.bucket, key);
        writeFileAtomically(target, body);
    } catch (const std::exception& error) {
        std::cout << "Cannot download the discovery YAML: " << masked(error.what()) << std::endl;
        return false;
    }
    std::cout << "Downloaded " << aws::s3Uri(source.bucket, key) << " to " << target << std::endl;
    return true;
}

void Aws::downloadAllFiles(const Record& yaml, const std::string& folder) {
    const s3::Settings settings = s3::readSettings(yaml);
    const std::string prefix = s3::archivePrefix(settings, folder);
    const auto log = aws::awsLogger();
    log->info("- Download account folder {} from {}", folder, aws::s3Uri(settings.bucket, prefix));

    auto client = s3Client(keyOf(settings));
    const std::vector<aws::S3Object> objects = client->listObjects(settings.bucket, prefix);
    std::size_t restored = 0;
    for (const aws::S3Object& object : objects) {
        if (text::endsWith(object.key, "/"))
            continue;  // a folder marker from a console upload
        const std::optional<std::string> relative = s3::relativePathOfKey(prefix, object.key);
        if (!relative) {
            log->warn("  **Alert** {} skipped: its key is no safe path inside the folder",
                      aws::s3Uri(settings.bucket, object.key));
            continue;
        }
        const fs::path target = fs::path(folder) / *relative;
        writeFileAtomically(target, client->getObject(settings.bucket, object.key));
        log->debug("  {} -> {}", aws::s3Uri(settings.bucket, object.key), target.string());
        ++restored;
    }
    if (restored == 0) {
        log->warn("  **Alert** no archived files under {}", aws::s3Uri(settings.bucket, prefix));
    } else {
        log->info("  {} file{} restored into {}", restored, restored == 1 ? "" : "s", folder);
    }
}

void Aws::uploadAllFiles(const Record& yaml, const std::string& folder, const std::string& step) {
    checkStep(step);
    const s3::Settings settings = s3::readSettings(yaml);
    const std::string prefix = s3::archivePrefix(settings, folder);
    if (!fs::is_directory(folder))
        throw Error(fmt::format("cannot archive account folder {}: it is not a folder", folder));
    const std::vector<std::string> files = filesOf(folder);
    const auto log = aws::awsLogger();
    log->info("- Upload account folder {} to {} (step {})", folder,
              aws::s3Uri(settings.bucket, prefix), step);
    if (dryRun()) {
        for (const std::string& file : files) {
            log->info("[dry-run] upload {} to {}", file,
                      aws::s3Uri(settings.bucket, prefix + file));
        }
        return;
    }
    auto client = s3Client(keyOf(settings));
    for (const std::string& file : files) {
        const std::string key = prefix + file;
        client->putObject(settings.bucket, key, readWholeFile(fs::path(folder) / file),
                          {{kStepMetadata, step}});
        log->debug("  {} -> {}", file, aws::s3Uri(settings.bucket, key));
    }
    log->info("  {} file{} uploaded", files.size(), files.size() == 1 ? "" : "s");
}

void Aws::deleteBucketObj(const Record& yaml, const std::string& folder,
                          const std::string& objectName) {
    if (!s3::isSafeRelativePath(objectName)) {
        throw Error(fmt::format(
            "invalid archive object name \"{}\": it must be a relative path inside the account "
            "folder",
            objectName));
    }
    const auto log = aws::awsLogger();
    // A revert always cleans the archive; without an archive configured there is nothing to
    // clean, and failing here would stop a revert that has already restored everything.
    if (!yaml.is_object() || !yaml.contains("s3") || yaml["s3"].is_null()) {
        log->debug("- No S3 archive configured: {} not deleted", objectName);
        return;
    }
    const s3::Settings settings = s3::readSettings(yaml);
    const std::string key = s3::archivePrefix(settings, folder) + objectName;
    log->info("- Delete {}", aws::s3Uri(settings.bucket, key));
    if (dryRun()) {
        log->info("[dry-run] delete {}", aws::s3Uri(settings.bucket, key));
        return;
    }
    s3Client(keyOf(settings))->deleteObject(settings.bucket, key);
}

}  // namespace dm
