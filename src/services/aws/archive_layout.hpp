#pragma once
// Where the Aws service finds things in S3: the YAML's "s3" settings, the --s3_yaml_download
// text, and the object keys of an account's archive. Internal to src/services/aws.

#include <optional>
#include <string>
#include <string_view>

#include "core/record.hpp"

namespace dm::s3 {

// The YAML's "s3" section, completed from the standard AWS environment variables.
struct Settings {
    std::string bucket;
    std::string region;
    std::optional<std::string> account;  // set together with role, or neither
    std::optional<std::string> role;
    std::optional<std::string> endpointUrl;
    std::optional<std::string> stsEndpointUrl;
    std::optional<std::string> caBundle;
    std::string prefix;  // no "/" at either end; empty for the bucket root
};

// Reads the "s3" section: "bucket" is required; "region" falls back to AWS_REGION, then
// AWS_DEFAULT_REGION, then "us-east-1"; "endpoint_url" and "sts_endpoint_url" fall back to
// AWS_ENDPOINT_URL_S3 / AWS_ENDPOINT_URL_STS, then AWS_ENDPOINT_URL. Throws ConfigError naming
// the key for a missing section or bucket, a non-text value, an account that is not 12 digits,
// or an account without role (or the reverse).
Settings readSettings(const Record& yaml);

// The region from AWS_REGION, AWS_DEFAULT_REGION, else "us-east-1".
std::string regionFromEnvironment();

// AWS_ENDPOINT_URL_<service> (service upper-case, e.g. "S3"), else AWS_ENDPOINT_URL; nullopt
// when neither is set and non-empty.
std::optional<std::string> endpointFromEnvironment(const std::string& service);

// The four fields of "<s3_account>,<s3_role>,<s3_bucket>,<spoke_account>".
struct YamlSource {
    std::string account;
    std::string role;
    std::string bucket;
    std::string spokeAccount;
};

// Splits and checks the --s3_yaml_download text (blanks around fields are dropped). Throws
// ConfigError with a one-line reason starting "--s3_yaml_download: " when a field is missing,
// extra or malformed.
YamlSource parseYamlSource(std::string_view text);

// "<spoke_account>/discovery.yaml": the discovery YAML sits in the spoke account's archive
// folder, where the account folder's own copy of the YAML is archived too.
std::string discoveryYamlKey(const YamlSource& source);

// "<prefix>/<folder name>/" (or "<folder name>/" without prefix): the key prefix of the account
// folder's archive, named after the folder's last component (the account's alias, else its
// subscription id). Throws Error when the folder has no usable name.
std::string archivePrefix(const Settings& settings, const std::string& folder);

// Whether `name` is a safe relative path: non-empty "/"-separated segments, none of them empty,
// "." or "..", and no control character.
bool isSafeRelativePath(std::string_view name);

// The path, relative to the account folder, of an archived object: the key without `prefix`.
// Nullopt when the key is outside the prefix, a folder marker (ends with "/"), or not a safe
// relative path, so that no download can land outside the folder.
std::optional<std::string> relativePathOfKey(std::string_view prefix, std::string_view key);

}  // namespace dm::s3
