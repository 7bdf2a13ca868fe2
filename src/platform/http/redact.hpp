#pragma once
// Redaction of credentials before a URL or header reaches a log line or an error text.

#include <string>
#include <string_view>

namespace dm::http {

// Placeholder written where a secret was.
inline constexpr std::string_view kRedacted = "<redacted>";

// The URL without user info and fragment; its query string is kept unless one of its parameters
// carries a credential or a signature (sig, X-Amz-Signature, client_secret, password, CID,
// token...), in which case the whole query becomes "?<redacted>".
std::string redactUrl(std::string_view url);

// The URL without user info, query string and fragment.
std::string urlWithoutQuery(std::string_view url);

// "<redacted>" for headers that carry credentials (Authorization, cookies, keys, tokens), else
// the value unchanged.
std::string redactHeader(std::string_view name, std::string_view value);

}  // namespace dm::http
