#include "platform/aws/sigv4_transport.hpp"

#include <curl/curl.h>
#include <fmt/format.h>

#include <mutex>
#include <string_view>

#include "core/text.hpp"
#include "platform/aws/log.hpp"
#include "platform/http/redact.hpp"

namespace dm::aws {
namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

template <typename T>
void setOption(CURL* handle, CURLoption option, T value) {
    const CURLcode rc = curl_easy_setopt(handle, option, value);
    if (rc != CURLE_OK) {
        throw http::TransportError(fmt::format("cannot set curl option {}: {}",
                                               static_cast<int>(option), curl_easy_strerror(rc)),
                                   false);
    }
}

// Callbacks run inside C code: they must not throw, and returning a short count aborts.
size_t onBody(char* data, size_t size, size_t count, void* user) noexcept {
    try {
        static_cast<std::string*>(user)->append(data, size * count);
        return size * count;
    } catch (...) {
        return 0;
    }
}

size_t onHeader(char* data, size_t size, size_t count, void* user) noexcept {
    const size_t n = size * count;
    try {
        auto& headers = *static_cast<http::Headers*>(user);
        std::string_view line(data, n);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.remove_suffix(1);
        if (text::startsWith(line, "HTTP/")) {
            // Only the last header block (after any "100 Continue") belongs to the response.
            headers.clear();
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            headers.emplace_back(std::string(line.substr(0, colon)),
                                 text::trim(line.substr(colon + 1)));
        }
        return n;
    } catch (...) {
        return 0;
    }
}

// Failures that certainly come before any byte was sent; anything else may have reached the
// server.
bool mayHaveBeenSent(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return false;
        default:
            return true;
    }
}

bool hasHeader(const http::Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (text::iequals(key, name))
            return true;
    }
    return false;
}

}  // namespace

std::string sigV4Provider(const std::string& region, const std::string& service) {
    return "aws:amz:" + region + ":" + service;
}

struct SigV4Transport::Impl {
    SigV4Options options;
    std::string provider;
    CURL* handle = nullptr;
    std::mutex mutex;
};

SigV4Transport::SigV4Transport(SigV4Options options) : impl_(std::make_unique<Impl>()) {
    initCurlOnce();
    impl_->provider = sigV4Provider(options.region, options.service);
    impl_->options = std::move(options);
    impl_->handle = curl_easy_init();
    if (impl_->handle == nullptr)
        throw http::TransportError("cannot create a curl handle", false);
}

SigV4Transport::~SigV4Transport() {
    curl_easy_cleanup(impl_->handle);
}

http::Response SigV4Transport::send(const http::Request& request) {
    // Keys first: a provider that must call STS does so before this handle is taken.
    const Credentials credentials = impl_->options.credentials();

    std::lock_guard lock(impl_->mutex);
    CURL* handle = impl_->handle;
    const auto& options = impl_->options;
    // Reset drops the previous request's options (keys included) but keeps the connections.
    curl_easy_reset(handle);

    http::Response response;
    char errorText[CURL_ERROR_SIZE] = {};
    setOption(handle, CURLOPT_ERRORBUFFER, errorText);
    setOption(handle, CURLOPT_URL, request.url.c_str());
    setOption(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(handle, CURLOPT_NOSIGNAL, 1L);
    setOption(handle, CURLOPT_FOLLOWLOCATION, 0L);
    setOption(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    setOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (options.caBundle)
        setOption(handle, CURLOPT_CAINFO, options.caBundle->c_str());
    setOption(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    setOption(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count()));
    setOption(handle, CURLOPT_WRITEFUNCTION, &onBody);
    setOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(&response.body));
    setOption(handle, CURLOPT_HEADERFUNCTION, &onHeader);
    setOption(handle, CURLOPT_HEADERDATA, static_cast<void*>(&response.headers));
    setOption(handle, CURLOPT_AWS_SIGV4, impl_->provider.c_str());
    setOption(handle, CURLOPT_USERNAME, credentials.accessKeyId.c_str());
    setOption(handle, CURLOPT_PASSWORD, credentials.secretAccessKey.c_str());

    const std::string& method = request.method;
    const bool sendsBody = !request.body.empty() || method == "POST" || method == "PUT";
    if (method == "HEAD") {
        setOption(handle, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                  static_cast<curl_off_t>(request.body.size()));
        setOption(handle, CURLOPT_POSTFIELDS, request.body.data());
        if (method != "POST")
            setOption(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
        setOption(handle, CURLOPT_HTTPGET, 1L);
        if (method != "GET")
            setOption(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    Slist headerList;
    auto appendHeader = [&headerList](const std::string& line) {
        curl_slist* grown = curl_slist_append(headerList.get(), line.c_str());
        if (grown == nullptr)
            throw http::TransportError("cannot build the request headers", false);
        headerList.release();
        headerList.reset(grown);
    };
    for (const auto& [name, value] : request.headers)
        appendHeader(value.empty() ? name + ";" : name + ": " + value);
    if (!credentials.sessionToken.empty())
        appendHeader("X-Amz-Security-Token: " + credentials.sessionToken);
    // Without this curl waits up to a second for "100 Continue" before sending larger bodies.
    if (!hasHeader(request.headers, "Expect"))
        appendHeader("Expect:");
    // curl would label any body as a form; the caller names the type or there is none.
    if (sendsBody && !hasHeader(request.headers, "Content-Type"))
        appendHeader("Content-Type:");
    setOption(handle, CURLOPT_HTTPHEADER, headerList.get());

    const auto log = awsLogger();
    const auto start = std::chrono::steady_clock::now();
    const CURLcode rc = curl_easy_perform(handle);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    // The handle keeps the keys until the next reset; drop them now.
    curl_easy_setopt(handle, CURLOPT_USERNAME, "");
    curl_easy_setopt(handle, CURLOPT_PASSWORD, "");
    if (rc != CURLE_OK) {
        const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
        log->debug("{} {} -> no response ({} ms): {}", method, http::redactUrl(request.url),
                   elapsed, detail);
        throw http::TransportError(
            fmt::format("{} {} failed: {}", method, http::urlWithoutQuery(request.url), detail),
            mayHaveBeenSent(rc));
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int>(status);
    log->debug("{} {} -> {} ({} ms)", method, http::redactUrl(request.url), response.status,
               elapsed);
    return response;
}

}  // namespace dm::aws
