#pragma once
// STS AssumeRole: temporary keys for a role of the account that owns the S3 archive.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/aws/credentials.hpp"
#include "platform/http/http.hpp"

namespace dm::aws {

// "arn:aws:iam::<account>:role/<role>".
std::string roleArn(const std::string& account, const std::string& role);

// The endpoint override without trailing "/" when given, else the regional endpoint
// "https://sts.<region>.amazonaws.com".
std::string stsEndpoint(const std::string& region, const std::optional<std::string>& endpointUrl);

// The keys of an AssumeRoleResponse document; throws AwsError naming `arn` when the document is
// unreadable or lacks a key. An Expiration that cannot be read counts as 15 minutes from `now`,
// the shortest life STS gives.
Credentials parseAssumeRoleResponse(std::string_view xml, const std::string& arn,
                                    std::chrono::system_clock::time_point now);

// The time of an ISO 8601 UTC text such as "2024-05-01T12:00:00Z" (fractions ignored); nullopt
// when it cannot be read.
std::optional<std::chrono::system_clock::time_point> parseIsoTime(std::string_view text);

// Temporary keys of one role, asked of STS through `sts` (a transport that signs for "sts" with
// the base keys) and kept until five minutes before they expire.
class AssumedRoleCredentials {
  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    AssumedRoleCredentials(std::shared_ptr<http::Transport> sts, std::string endpoint,
                           std::string arn, Clock clock = {});

    // The cached keys, or new ones from AssumeRole; throws AwsError with STS's Code and Message
    // when STS refuses, and dm::Error (never http::TransportError) when it cannot be reached.
    Credentials get();

  private:
    std::shared_ptr<http::Transport> sts_;
    std::string endpoint_;
    std::string arn_;
    Clock clock_;
    std::optional<Credentials> cached_;
};

}  // namespace dm::aws
