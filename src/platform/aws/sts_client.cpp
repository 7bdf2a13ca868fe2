#include "platform/aws/sts_client.hpp"

#include <fmt/format.h>
#include <pugixml.hpp>

#include <cstdio>
#include <ctime>

#include "core/error.hpp"
#include "platform/aws/errors.hpp"
#include "platform/aws/log.hpp"
#include "platform/aws/s3_client.hpp"

namespace dm::aws {
namespace {

constexpr std::chrono::minutes kRefreshMargin{5};
constexpr std::chrono::minutes kShortestLife{15};
constexpr int kDurationSeconds = 3600;

}  // namespace

std::string roleArn(const std::string& account, const std::string& role) {
    return "arn:aws:iam::" + account + ":role/" + role;
}

std::string stsEndpoint(const std::string& region, const std::optional<std::string>& endpointUrl) {
    if (endpointUrl) {
        std::string endpoint = *endpointUrl;
        while (!endpoint.empty() && endpoint.back() == '/')
            endpoint.pop_back();
        return endpoint;
    }
    return "https://sts." + region + ".amazonaws.com";
}

std::optional<std::chrono::system_clock::time_point> parseIsoTime(std::string_view text) {
    const std::string copy(text);
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6) {
        return std::nullopt;
    }
    // Skip fractional seconds; only UTC ("Z" or "+00:00") is accepted.
    std::size_t at = static_cast<std::size_t>(consumed);
    if (at < copy.size() && copy[at] == '.') {
        ++at;
        while (at < copy.size() && copy[at] >= '0' && copy[at] <= '9')
            ++at;
    }
    const std::string rest = copy.substr(at);
    // Years past 2200 would overflow the clock's nanosecond count.
    if ((rest != "Z" && rest != "+00:00") || tm.tm_year < 1970 || tm.tm_year > 2200 ||
        tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t seconds = timegm(&tm);
    if (seconds == static_cast<std::time_t>(-1))
        return std::nullopt;
    return std::chrono::system_clock::from_time_t(seconds);
}

Credentials parseAssumeRoleResponse(std::string_view xml, const std::string& arn,
                                    std::chrono::system_clock::time_point now) {
    const std::string action = "AssumeRole " + arn;
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    pugi::xml_node node = doc.document_element();
    if (!parsed || std::string_view(node.name()) != "AssumeRoleResponse") {
        throw AwsError(action, 200,
                       ServiceErrorInfo{"", "the reply is not an AssumeRoleResponse document", ""});
    }
    node = node.child("AssumeRoleResult").child("Credentials");
    Credentials credentials;
    credentials.accessKeyId = node.child_value("AccessKeyId");
    credentials.secretAccessKey = node.child_value("SecretAccessKey");
    credentials.sessionToken = node.child_value("SessionToken");
    if (credentials.accessKeyId.empty() || credentials.secretAccessKey.empty() ||
        credentials.sessionToken.empty()) {
        throw AwsError(action, 200,
                       ServiceErrorInfo{"",
                                        "the reply lacks AccessKeyId, SecretAccessKey or "
                                        "SessionToken",
                                        ""});
    }
    credentials.expiration = parseIsoTime(node.child_value("Expiration"));
    if (!credentials.expiration)
        credentials.expiration = now + kShortestLife;
    credentials.source = arn;
    return credentials;
}

AssumedRoleCredentials::AssumedRoleCredentials(std::shared_ptr<http::Transport> sts,
                                               std::string endpoint, std::string arn, Clock clock)
    : sts_(std::move(sts)),
      endpoint_(std::move(endpoint)),
      arn_(std::move(arn)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })) {}

Credentials AssumedRoleCredentials::get() {
    const auto now = clock_();
    if (cached_ && (!cached_->expiration || *cached_->expiration - kRefreshMargin > now))
        return *cached_;

    const auto epoch =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    // Parameters in sorted order, as the form is signed as written.
    http::Request request{"POST", endpoint_ + "/"};
    request.body = fmt::format(
        "Action=AssumeRole&DurationSeconds={}&RoleArn={}&RoleSessionName={}&Version=2011-06-15",
        kDurationSeconds, uriEncode(arn_, false),
        uriEncode(fmt::format("dm-switch-traffic-{}", epoch), false));
    request.headers.emplace_back("Content-Type",
                                 "application/x-www-form-urlencoded; charset=utf-8");
    // Asking twice only mints a second set of keys.
    request.idempotent = true;
    http::Response response;
    try {
        response = sts_->send(request);
    } catch (const http::TransportError& error) {
        // Not a TransportError any more: the signed call waiting on these keys must not retry
        // what the STS transport has already retried.
        throw Error("AssumeRole " + arn_ + ": " + error.what());
    }
    if (response.status != 200)
        throw responseError("AssumeRole " + arn_, response);
    cached_ = parseAssumeRoleResponse(response.body, arn_, now);
    awsLogger()->debug("Assumed role {}", arn_);
    return *cached_;
}

}  // namespace dm::aws
