#include "platform/aws/s3_client.hpp"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <pugixml.hpp>

#include <algorithm>
#include <charconv>

#include "core/error.hpp"
#include "core/text.hpp"
#include "platform/aws/errors.hpp"

namespace dm::aws {
namespace {

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw Error("cannot compute SHA-256 of the request body");
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i)
        hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

// The hash of an empty body; GET and DELETE send none.
constexpr const char* kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string trimmedEndpoint(std::string endpoint) {
    while (!endpoint.empty() && endpoint.back() == '/')
        endpoint.pop_back();
    return endpoint;
}

}  // namespace

std::string uriEncode(std::string_view value, bool keepSlash) {
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += fmt::format("%{:02X}", c);
        }
    }
    return out;
}

std::string s3Uri(const std::string& bucket, const std::string& key) {
    return "s3://" + bucket + "/" + key;
}

ListPage parseListObjectsV2(std::string_view xml) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    pugi::xml_node root = doc.document_element();
    if (!parsed || std::string_view(root.name()) != "ListBucketResult") {
        throw AwsError("ListObjectsV2", 200,
                       ServiceErrorInfo{"", "the reply is not a ListBucketResult document", ""});
    }
    ListPage page;
    for (pugi::xml_node node : root.children("Contents")) {
        S3Object object;
        object.key = node.child_value("Key");
        const std::string_view size = node.child_value("Size");
        std::from_chars(size.data(), size.data() + size.size(), object.size);
        object.lastModified = node.child_value("LastModified");
        page.objects.push_back(std::move(object));
    }
    const std::string truncated = text::toLower(text::trim(root.child_value("IsTruncated")));
    const std::string token = root.child_value("NextContinuationToken");
    if (truncated == "true") {
        if (token.empty()) {
            throw AwsError(
                "ListObjectsV2", 200,
                ServiceErrorInfo{"", "a truncated listing without a continuation token", ""});
        }
        page.nextContinuationToken = token;
    }
    return page;
}

S3Client::S3Client(S3ClientOptions options, std::shared_ptr<http::Transport> transport)
    : options_(std::move(options)), transport_(std::move(transport)) {
    if (options_.endpointUrl)
        options_.endpointUrl = trimmedEndpoint(*options_.endpointUrl);
}

std::string S3Client::objectUrl(const std::string& bucket, const std::string& key) const {
    const std::string path = uriEncode(key, true);
    if (options_.endpointUrl) {
        std::string url = *options_.endpointUrl + "/" + uriEncode(bucket, false);
        return key.empty() ? url : url + "/" + path;
    }
    if (bucket.find('.') != std::string::npos) {
        return fmt::format("https://s3.{}.amazonaws.com/{}{}", options_.region, bucket,
                           key.empty() ? std::string() : "/" + path);
    }
    return fmt::format("https://{}.s3.{}.amazonaws.com/{}", bucket, options_.region, path);
}

http::Response S3Client::call(http::Request request, const std::string& action,
                              std::initializer_list<int> accepted) {
    // S3 wants the payload hash as a signed header; curl signs it from this header.
    request.headers.emplace_back("x-amz-content-sha256",
                                 request.body.empty() ? kEmptySha256 : sha256Hex(request.body));
    http::Response response = transport_->send(request);
    if (std::find(accepted.begin(), accepted.end(), response.status) == accepted.end())
        throw responseError(action, response);
    return response;
}

std::string S3Client::getObject(const std::string& bucket, const std::string& key) {
    http::Request request{"GET", objectUrl(bucket, key)};
    return call(std::move(request), "GET " + s3Uri(bucket, key), {200}).body;
}

void S3Client::putObject(const std::string& bucket, const std::string& key, std::string_view body,
                         const http::Headers& metadata) {
    http::Request request{"PUT", objectUrl(bucket, key)};
    request.body = std::string(body);
    request.headers.emplace_back("Content-Type", "application/octet-stream");
    for (const auto& [name, value] : metadata)
        request.headers.emplace_back("x-amz-meta-" + name, value);
    call(std::move(request), "PUT " + s3Uri(bucket, key), {200});
}

void S3Client::deleteObject(const std::string& bucket, const std::string& key) {
    http::Request request{"DELETE", objectUrl(bucket, key)};
    call(std::move(request), "DELETE " + s3Uri(bucket, key), {200, 204});
}

std::vector<S3Object> S3Client::listObjects(const std::string& bucket, const std::string& prefix) {
    std::vector<S3Object> all;
    std::optional<std::string> token;
    do {
        // Parameters in sorted order and canonically encoded: the query is signed as written.
        std::string query;
        if (token)
            query += "continuation-token=" + uriEncode(*token, false) + "&";
        query += "list-type=2&prefix=" + uriEncode(prefix, false);
        http::Request request{"GET", objectUrl(bucket, "") + "?" + query};
        const http::Response response =
            call(std::move(request), "list " + s3Uri(bucket, prefix), {200});
        ListPage page = parseListObjectsV2(response.body);
        std::move(page.objects.begin(), page.objects.end(), std::back_inserter(all));
        // A server that hands back the same token would keep this loop going for ever.
        if (page.nextContinuationToken && page.nextContinuationToken == token) {
            throw AwsError("list " + s3Uri(bucket, prefix), response.status,
                           ServiceErrorInfo{"", "the listing repeats its continuation token", ""});
        }
        token = std::move(page.nextContinuationToken);
    } while (token);
    return all;
}

}  // namespace dm::aws
