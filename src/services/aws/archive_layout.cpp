#include "services/aws/archive_layout.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "core/error.hpp"
#include "core/text.hpp"
#include "services/common/config_check.hpp"

namespace dm::s3 {
namespace {

constexpr const char* kYamlSourceForm = "<s3_account>,<s3_role>,<s3_bucket>,<spoke_account>";

std::optional<std::string> env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0')
        return std::nullopt;
    return std::string(value);
}

bool isAccountId(std::string_view text) {
    return text.size() == 12 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// IAM role names (with an optional path): letters, digits and +=,.@_-/.
bool isRoleName(std::string_view text) {
    return !text.empty() && text.size() <= 512 && text.front() != '/' && text.back() != '/' &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isalnum(c) || std::string_view("+=,.@_-/").find(static_cast<char>(c)) !=
                                             std::string_view::npos;
           });
}

// S3 bucket names: 3 to 63 lower-case letters, digits, dots and hyphens, starting and ending
// with a letter or digit.
bool isBucketName(std::string_view text) {
    auto alnum = [](unsigned char c) { return std::islower(c) || std::isdigit(c); };
    return text.size() >= 3 && text.size() <= 63 && alnum(text.front()) && alnum(text.back()) &&
           std::all_of(text.begin(), text.end(),
                       [&](unsigned char c) { return alnum(c) || c == '.' || c == '-'; });
}

std::string trimSlashes(std::string text) {
    const auto first = text.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of('/');
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string regionFromEnvironment() {
    if (auto region = env("AWS_REGION"))
        return *region;
    if (auto region = env("AWS_DEFAULT_REGION"))
        return *region;
    return "us-east-1";
}

std::optional<std::string> endpointFromEnvironment(const std::string& service) {
    if (auto endpoint = env("AWS_ENDPOINT_URL_" + service))
        return endpoint;
    return env("AWS_ENDPOINT_URL");
}

Settings readSettings(const Record& yaml) {
    const Record& section = config::require(yaml, "s3", "", "a map");
    config::expectMap(section, "s3");
    Settings settings;
    settings.bucket = config::requireString(section, "bucket", "s3");
    if (!isBucketName(settings.bucket)) {
        config::failType("s3.bucket", "an S3 bucket name (3-63 of a-z 0-9 . -)",
                         Record(settings.bucket));
    }
    settings.region = config::optString(section, "region", "s3").value_or(regionFromEnvironment());
    // An unquoted account id is read as a number, which would drop leading zeros.
    if (const Record* account = config::find(section, "account", "s3")) {
        if (!account->is_string() || !isAccountId(account->get<std::string>()))
            config::failType("s3.account", "a quoted 12-digit AWS account id", *account);
        settings.account = account->get<std::string>();
    }
    settings.role = config::optString(section, "role", "s3");
    if (settings.role && !isRoleName(*settings.role))
        config::failType("s3.role", "an IAM role name", Record(*settings.role));
    if (settings.account.has_value() != settings.role.has_value()) {
        config::failMissing(settings.account ? "s3.role" : "s3.account",
                            "a value when s3.account or s3.role is given (both name the role "
                            "to assume)");
    }
    settings.endpointUrl = config::optString(section, "endpoint_url", "s3");
    if (!settings.endpointUrl)
        settings.endpointUrl = endpointFromEnvironment("S3");
    settings.stsEndpointUrl = config::optString(section, "sts_endpoint_url", "s3");
    if (!settings.stsEndpointUrl)
        settings.stsEndpointUrl = endpointFromEnvironment("STS");
    settings.caBundle = config::optString(section, "ca_bundle", "s3");
    settings.prefix = trimSlashes(config::optString(section, "prefix", "s3").value_or(""));
    if (!settings.prefix.empty() && !isSafeRelativePath(settings.prefix))
        config::failType("s3.prefix", "a key prefix without empty, \".\" or \"..\" parts",
                         Record(settings.prefix));
    return settings;
}

YamlSource parseYamlSource(std::string_view text) {
    const std::vector<std::string> raw = text::split(text, ',');
    if (raw.size() != 4) {
        throw ConfigError(fmt::format("--s3_yaml_download: expected {}, found {} field{} in \"{}\"",
                                      kYamlSourceForm, raw.size(), raw.size() == 1 ? "" : "s",
                                      text));
    }
    YamlSource source{text::trim(raw[0]), text::trim(raw[1]), text::trim(raw[2]),
                      text::trim(raw[3])};
    if (!isAccountId(source.account)) {
        throw ConfigError(
            fmt::format("--s3_yaml_download: s3_account \"{}\" is not a 12-digit AWS account id",
                        source.account));
    }
    if (!isRoleName(source.role)) {
        throw ConfigError(
            fmt::format("--s3_yaml_download: s3_role \"{}\" is not an IAM role name", source.role));
    }
    if (!isBucketName(source.bucket)) {
        throw ConfigError(fmt::format(
            "--s3_yaml_download: s3_bucket \"{}\" is not an S3 bucket name", source.bucket));
    }
    if (!isSafeRelativePath(source.spokeAccount)) {
        throw ConfigError(fmt::format(
            "--s3_yaml_download: spoke_account \"{}\" cannot name an S3 folder (empty, or with "
            "empty, \".\" or \"..\" parts)",
            source.spokeAccount));
    }
    return source;
}

std::string discoveryYamlKey(const YamlSource& source) {
    return source.spokeAccount + "/discovery.yaml";
}

std::string archivePrefix(const Settings& settings, const std::string& folder) {
    std::string trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::string name = std::filesystem::path(trimmed).lexically_normal().filename().string();
    if (!isSafeRelativePath(name)) {
        throw Error(
            fmt::format("account folder \"{}\" has no name to archive it under in S3", folder));
    }
    return settings.prefix.empty() ? name + "/" : settings.prefix + "/" + name + "/";
}

bool isSafeRelativePath(std::string_view name) {
    if (name.empty())
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    for (const std::string& part : text::split(name, '/')) {
        if (part.empty() || part == "." || part == "..")
            return false;
    }
    return true;
}

std::optional<std::string> relativePathOfKey(std::string_view prefix, std::string_view key) {
    if (!text::startsWith(key, prefix))
        return std::nullopt;
    const std::string_view rest = key.substr(prefix.size());
    if (!isSafeRelativePath(rest))
        return std::nullopt;
    return std::string(rest);
}

}  // namespace dm::s3
