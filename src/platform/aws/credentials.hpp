#pragma once
// AWS credentials: the base keys from the standard environment variables or the shared
// credentials file, and the provider seam through which signed calls obtain current keys.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dm::aws {

struct Credentials {
    std::string accessKeyId;
    std::string secretAccessKey;
    std::string sessionToken{};  // empty for long-term keys
    // When temporary keys stop working; absent for long-term keys.
    std::optional<std::chrono::system_clock::time_point> expiration{};
    // Where the keys came from ("environment", "<file> [profile]", a role ARN), for messages.
    std::string source{};
};

// Returns the keys to sign the next request with; throws dm::Error when none can be had.
using CredentialsProvider = std::function<Credentials()>;

// AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (with AWS_SESSION_TOKEN when set); nullopt unless
// both keys are set and non-empty.
std::optional<Credentials> credentialsFromEnvironment();

// The keys of `profile` in the text of a shared credentials file (INI sections "[name]",
// "key = value" lines, "#" and ";" comment lines); nullopt when the profile is not there.
// A profile that lacks aws_access_key_id or aws_secret_access_key throws dm::Error naming
// `fileName` and the profile.
std::optional<Credentials> parseSharedCredentials(std::string_view text, std::string_view profile,
                                                  const std::string& fileName);

// The shared credentials file: AWS_SHARED_CREDENTIALS_FILE, else $HOME/.aws/credentials; empty
// when neither is known.
std::string sharedCredentialsPath();

// The profile to read: AWS_PROFILE when set and non-empty, else "default".
std::string profileName();

// The environment's keys, else the profile's keys from the shared credentials file. Throws
// dm::Error saying where it looked when neither has them. Never puts a key in a message.
Credentials loadBaseCredentials();

}  // namespace dm::aws
