#include "platform/aws/credentials.hpp"

#include <fmt/format.h>

#include <cstdlib>

#include "core/error.hpp"
#include "core/file_text.hpp"
#include "core/text.hpp"

namespace dm::aws {
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::optional<Credentials> credentialsFromEnvironment() {
    Credentials credentials;
    credentials.accessKeyId = env("AWS_ACCESS_KEY_ID");
    credentials.secretAccessKey = env("AWS_SECRET_ACCESS_KEY");
    if (credentials.accessKeyId.empty() || credentials.secretAccessKey.empty())
        return std::nullopt;
    credentials.sessionToken = env("AWS_SESSION_TOKEN");
    credentials.source = "environment";
    return credentials;
}

std::optional<Credentials> parseSharedCredentials(std::string_view text, std::string_view profile,
                                                  const std::string& fileName) {
    bool found = false;
    bool inProfile = false;
    Credentials credentials;
    for (const std::string& rawLine : text::split(text, '\n')) {
        const std::string line = text::trim(rawLine);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            const std::string name = text::trim(std::string_view(line).substr(
                1, close == std::string::npos ? std::string::npos : close - 1));
            inProfile = name == profile;
            // A profile written twice is merged, as the AWS tools do.
            found = found || inProfile;
            continue;
        }
        if (!inProfile)
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = text::toLower(text::trim(std::string_view(line).substr(0, eq)));
        const std::string value = text::trim(std::string_view(line).substr(eq + 1));
        if (key == "aws_access_key_id") {
            credentials.accessKeyId = value;
        } else if (key == "aws_secret_access_key") {
            credentials.secretAccessKey = value;
        } else if (key == "aws_session_token") {
            credentials.sessionToken = value;
        }
    }
    if (!found)
        return std::nullopt;
    if (credentials.accessKeyId.empty() || credentials.secretAccessKey.empty()) {
        throw Error(
            fmt::format("{}: profile \"{}\" needs both aws_access_key_id and aws_secret_access_key",
                        fileName, profile));
    }
    credentials.source = fmt::format("{} [{}]", fileName, profile);
    return credentials;
}

std::string sharedCredentialsPath() {
    if (std::string path = env("AWS_SHARED_CREDENTIALS_FILE"); !path.empty())
        return path;
    if (std::string home = env("HOME"); !home.empty())
        return home + "/.aws/credentials";
    return {};
}

std::string profileName() {
    std::string profile = env("AWS_PROFILE");
    return profile.empty() ? std::string("default") : profile;
}

Credentials loadBaseCredentials() {
    if (auto fromEnv = credentialsFromEnvironment())
        return *fromEnv;
    const std::string path = sharedCredentialsPath();
    const std::string profile = profileName();
    if (!path.empty()) {
        if (auto content = readFileText(path)) {
            if (auto fromFile = parseSharedCredentials(*content, profile, path))
                return *fromFile;
        }
    }
    throw Error(fmt::format(
        "no AWS credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or add profile "
        "\"{}\" to {}",
        profile, path.empty() ? std::string("~/.aws/credentials") : path));
}

}  // namespace dm::aws
