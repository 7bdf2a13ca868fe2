#pragma once
// S3 object calls (GET, PUT, DELETE, ListObjectsV2) over a signing transport.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http/http.hpp"

namespace dm::aws {

struct S3ClientOptions {
    std::string region;
    // Endpoint override ("http://127.0.0.1:4568"); requests then use path-style addressing.
    std::optional<std::string> endpointUrl{};
};

struct S3Object {
    std::string key;
    std::uint64_t size = 0;
    std::string lastModified;  // as S3 wrote it, ISO 8601
};

struct ListPage {
    std::vector<S3Object> objects;
    std::optional<std::string> nextContinuationToken;  // set while the listing goes on
};

// Calls through a transport that signs for service "s3" (see SigV4Transport). Every call throws
// AwsError with the service's Code and Message when S3 refuses it, and lets
// http::TransportError through when no response came.
class S3Client {
  public:
    S3Client(S3ClientOptions options, std::shared_ptr<http::Transport> transport);

    // The object's bytes; a missing object throws AwsError with code "NoSuchKey".
    std::string getObject(const std::string& bucket, const std::string& key);

    // Stores `body` under the key, replacing any object there; `metadata` pairs are sent as
    // "x-amz-meta-<name>" headers.
    void putObject(const std::string& bucket, const std::string& key, std::string_view body,
                   const http::Headers& metadata = {});

    // Removes the object; removing a key that does not exist succeeds, as S3 has it.
    void deleteObject(const std::string& bucket, const std::string& key);

    // Every object whose key starts with `prefix`, in S3's (byte) order, following
    // continuation tokens to the last page.
    std::vector<S3Object> listObjects(const std::string& bucket, const std::string& prefix);

    // The URL of the object (or of the bucket when `key` is empty): path-style under the
    // endpoint override, else virtual-hosted "https://<bucket>.s3.<region>.amazonaws.com/",
    // falling back to path-style for bucket names with dots, which break the TLS wildcard.
    std::string objectUrl(const std::string& bucket, const std::string& key) const;

  private:
    http::Response call(http::Request request, const std::string& action,
                        std::initializer_list<int> accepted);

    S3ClientOptions options_;
    std::shared_ptr<http::Transport> transport_;
};

// Percent-encodes every byte but A-Z a-z 0-9 - . _ ~ (and "/" when `keepSlash`), with upper-case
// hex, which is also SigV4's canonical form, so that curl signs exactly what is sent.
std::string uriEncode(std::string_view value, bool keepSlash);

// Reads one ListObjectsV2 reply; throws AwsError when it is not a ListBucketResult document.
ListPage parseListObjectsV2(std::string_view xml);

// "s3://<bucket>/<key>", for messages.
std::string s3Uri(const std::string& bucket, const std::string& key);

}  // namespace dm::aws
