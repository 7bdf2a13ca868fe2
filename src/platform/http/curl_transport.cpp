#include "platform/http/curl_transport.hpp"

#include <curl/curl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "core/text.hpp"
#include "platform/http/log.hpp"
#include "platform/http/redact.hpp"

namespace dm::http {
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
        throw TransportError(fmt::format("cannot set curl option {}: {}", static_cast<int>(option),
                                         curl_easy_strerror(rc)),
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

// Room for the body the server announces, so that a large list page is not copied over and
// over as it grows, and for the slack a JSON reader may read past its end (kBodySlack), so that
// the body is read where it lies rather than copied; an implausible length is left to ordinary
// growth.
void reserveForBody(std::string_view value, std::string& body) {
    constexpr size_t kMostReserved = 64u << 20;
    size_t length = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (error == std::errc() && end == value.data() + value.size() && length <= kMostReserved)
        body.reserve(length + kBodySlack);
}

// What the header callback fills in.
struct Receiving {
    Response& response;
    bool bodyExpected;  // false for HEAD, whose Content-Length announces no body
};

size_t onHeader(char* data, size_t size, size_t count, void* user) noexcept {
    const size_t n = size * count;
    try {
        auto& receiving = *static_cast<Receiving*>(user);
        auto& headers = receiving.response.headers;
        std::string_view line(data, n);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.remove_suffix(1);
        }
        if (text::startsWith(line, "HTTP/")) {
            // A new status line starts a new block; only the last one (after any "100
            // Continue") belongs to the response.
            headers.clear();
        } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (!headers.empty())
                headers.back().second += " " + text::trim(line);
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            headers.emplace_back(std::string(line.substr(0, colon)),
                                 text::trim(line.substr(colon + 1)));
            if (receiving.bodyExpected && text::iequals(headers.back().first, "Content-Length"))
                reserveForBody(headers.back().second, receiving.response.body);
        }
        return n;
    } catch (...) {
        return 0;
    }
}

// How a failed transfer bears on sending it again. Only failures that certainly precede sending
// say NotSent; anything ambiguous counts as maybe sent.
TransportFailure failureOf(CURLcode code, CURL* handle) {
    switch (code) {
        case CURLE_PEER_FAILED_VERIFICATION:  // unknown CA, name mismatch, expired, revoked...
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return TransportFailure::UntrustedPeer;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
            return TransportFailure::NotSent;
        case CURLE_OPERATION_TIMEDOUT: {
            // A connect timeout leaves nothing sent; a slow response leaves a non-zero size.
            long requestSize = 0;
            if (curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &requestSize) != CURLE_OK) {
                return TransportFailure::MaybeSent;
            }
            return requestSize > 0 ? TransportFailure::MaybeSent : TransportFailure::NotSent;
        }
        default:
            return TransportFailure::MaybeSent;
    }
}

bool hasHeader(const Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (text::iequals(key, name))
            return true;
    }
    return false;
}

// What the request-start callback learns about the transfer in progress.
struct RequestStarts {
    std::set<curl_socket_t> sockets;   // the handle's open sockets, which curl does not name
    int count = 0;                     // times the request was about to be sent
    bool closedBeforeSending = false;  // the server had closed the connection by the first one
};

// One easy handle with what its callbacks write to; a send holds it for its whole transfer.
struct EasyHandle {
    CURL* curl = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};
    RequestStarts starts;

    EasyHandle() = default;
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;
    // Before the members: curl closes the handle's sockets through onCloseSocket(&starts).
    ~EasyHandle() {
        if (curl != nullptr)
            curl_easy_cleanup(curl);
    }
};

std::uint64_t threadCpuNanoseconds() {
    timespec now{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        return 0;
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// At most this many sends of one transport are in flight; a further one waits for a handle.
constexpr std::size_t kMostHandles = 64;

}  // namespace

struct CurlTransport::Impl {
    CurlTransportOptions options;
    mutable std::mutex mutex;  // guards what follows
    std::condition_variable handleReturned;
    std::vector<std::unique_ptr<EasyHandle>> idle;  // the most recently used last
    std::size_t handles = 0;                        // made and not destroyed, idle or in use
    TransportStats stats;

    std::unique_ptr<EasyHandle> makeHandle() const;
    // An idle handle (the last returned, whose connection is the warmest), else a new one while
    // fewer than kMostHandles exist, else the next one returned.
    std::unique_ptr<EasyHandle> checkOut();
    void checkIn(std::unique_ptr<EasyHandle> handle);

    // Holds a checked-out handle for one send and returns it however the send ends.
    class Lease {
      public:
        explicit Lease(Impl& impl) : impl_(impl), easy_(impl.checkOut()) {}
        ~Lease() { impl_.checkIn(std::move(easy_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        EasyHandle& operator*() const { return *easy_; }

      private:
        Impl& impl_;
        std::unique_ptr<EasyHandle> easy_;
    };

    // send() and sendSigned(): unsigned when `keys` is null.
    Response perform(EasyHandle& easy, const Request& request, const SigV4Keys* keys);
};

namespace {

int portOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// Whether the server has already closed the connection (local and remote port) the request is
// about to go out on: before a request it has nothing to say, so an end of stream, a reset or
// any byte waiting (a TLS close alert) means it is closing.
bool peerHasClosed(const std::set<curl_socket_t>& sockets, int localPort, int remotePort) {
    for (curl_socket_t socket : sockets) {
        sockaddr_storage local{};
        sockaddr_storage remote{};
        socklen_t localLength = sizeof local;
        socklen_t remoteLength = sizeof remote;
        if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            ::getpeername(socket, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0 ||
            portOf(local) != localPort || portOf(remote) != remotePort) {
            continue;
        }
        char byte = 0;
        const ssize_t peeked = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return peeked >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
    return false;
}

curl_socket_t onOpenSocket(void* user, curlsocktype, curl_sockaddr* address) noexcept {
    const curl_socket_t socket = ::socket(address->family, address->socktype, address->protocol);
    if (socket != CURL_SOCKET_BAD) {
        try {
            static_cast<RequestStarts*>(user)->sockets.insert(socket);
        } catch (...) {
            // Untracked, the socket only loses the idle-close check above.
        }
    }
    return socket;
}

int onCloseSocket(void* user, curl_socket_t socket) noexcept {
    static_cast<RequestStarts*>(user)->sockets.erase(socket);
    return ::close(socket);
}

// Called each time curl is about to send the request: once per transfer, unless a kept-alive
// connection died unanswered and curl goes again on a fresh one. When the server had closed that
// connection before the request went out (its idle close), the request never reached it and
// curl's reconnect is let through silently; otherwise the request was dropped, and the second
// go is stopped here so that the caller's retry policy decides on it and logs it.
int onRequestStart(void* user, char*, char*, int remotePort, int localPort) noexcept {
    auto& starts = *static_cast<RequestStarts*>(user);
    if (++starts.count == 1) {
        starts.closedBeforeSending = peerHasClosed(starts.sockets, localPort, remotePort);
        return CURL_PREREQFUNC_OK;
    }
    return starts.count == 2 && starts.closedBeforeSending ? CURL_PREREQFUNC_OK
                                                           : CURL_PREREQFUNC_ABORT;
}

// Sets the keys for one transfer and takes them off the handle again when it goes out of scope,
// even when the transfer throws: the handle is reused, and a later unsigned request must neither
// carry nor be signed with them.
class SigningScope {
  public:
    SigningScope(CURL* handle, const SigV4Keys& keys) : handle_(handle) {
        try {
            setOption(handle, CURLOPT_AWS_SIGV4, keys.provider.c_str());
            setOption(handle, CURLOPT_USERNAME, keys.accessKeyId.c_str());
            setOption(handle, CURLOPT_PASSWORD, keys.secretAccessKey.c_str());
        } catch (...) {
            clear();
            throw;
        }
    }
    ~SigningScope() { clear(); }
    SigningScope(const SigningScope&) = delete;
    SigningScope& operator=(const SigningScope&) = delete;

  private:
    void clear() noexcept {
        curl_easy_setopt(handle_, CURLOPT_AWS_SIGV4, static_cast<const char*>(nullptr));
        curl_easy_setopt(handle_, CURLOPT_USERNAME, static_cast<const char*>(nullptr));
        curl_easy_setopt(handle_, CURLOPT_PASSWORD, static_cast<const char*>(nullptr));
        // Setting the provider also switched the handle's auth scheme to SigV4, and clearing it
        // does not switch back: restore curl's default so the handle is as if never signed.
        curl_easy_setopt(handle_, CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
    }
    CURL* handle_;
};

}  // namespace

std::unique_ptr<EasyHandle> CurlTransport::Impl::makeHandle() const {
    auto easy = std::make_unique<EasyHandle>();
    easy->curl = curl_easy_init();
    if (easy->curl == nullptr)
        throw TransportError("cannot create a curl handle", false);
    // The options every request shares are set once: perform() changes only the per-request
    // ones, which is cheaper than a reset and some twenty options per request.
    CURL* handle = easy->curl;
    const auto& o = options;
    setOption(handle, CURLOPT_ERRORBUFFER, easy->errorText);
    setOption(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    setOption(handle, CURLOPT_NOSIGNAL, 1L);
    setOption(handle, CURLOPT_FOLLOWLOCATION, 0L);
    setOption(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    setOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (o.caBundle)
        setOption(handle, CURLOPT_CAINFO, o.caBundle->c_str());
    setOption(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.connectTimeout.count()));
    setOption(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(o.totalTimeout.count()));
    setOption(handle, CURLOPT_WRITEFUNCTION, &onBody);
    setOption(handle, CURLOPT_HEADERFUNCTION, &onHeader);
    setOption(handle, CURLOPT_PREREQFUNCTION, &onRequestStart);
    setOption(handle, CURLOPT_PREREQDATA, static_cast<void*>(&easy->starts));
    setOption(handle, CURLOPT_OPENSOCKETFUNCTION, &onOpenSocket);
    setOption(handle, CURLOPT_OPENSOCKETDATA, static_cast<void*>(&easy->starts));
    setOption(handle, CURLOPT_CLOSESOCKETFUNCTION, &onCloseSocket);
    setOption(handle, CURLOPT_CLOSESOCKETDATA, static_cast<void*>(&easy->starts));
    return easy;
}

std::unique_ptr<EasyHandle> CurlTransport::Impl::checkOut() {
    std::unique_lock lock(mutex);
    handleReturned.wait(lock, [this] { return !idle.empty() || handles < kMostHandles; });
    if (!idle.empty()) {
        auto easy = std::move(idle.back());
        idle.pop_back();
        return easy;
    }
    ++handles;
    lock.unlock();
    try {
        auto easy = makeHandle();
        lock.lock();
        stats.handles = std::max<std::uint64_t>(stats.handles, handles);
        return easy;
    } catch (...) {
        lock.lock();
        --handles;
        handleReturned.notify_one();
        throw;
    }
}

void CurlTransport::Impl::checkIn(std::unique_ptr<EasyHandle> handle) {
    {
        std::lock_guard lock(mutex);
        idle.push_back(std::move(handle));
    }
    handleReturned.notify_one();
}

CurlTransport::CurlTransport(CurlTransportOptions options) : impl_(std::make_unique<Impl>()) {
    initCurlOnce();
    impl_->options = std::move(options);
    if (impl_->options.loggerName.empty())
        impl_->options.loggerName = kLoggerName;
    // The first handle is made here, so that a transport that cannot work fails at once.
    impl_->idle.push_back(impl_->makeHandle());
    impl_->handles = 1;
    impl_->stats.handles = 1;
}

CurlTransport::~CurlTransport() = default;

TransportStats CurlTransport::stats() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->stats;
}

Response CurlTransport::send(const Request& request) {
    Impl::Lease easy(*impl_);
    return impl_->perform(*easy, request, nullptr);
}

Response CurlTransport::sendSigned(const Request& request, const SigV4Keys& keys) {
    Impl::Lease easy(*impl_);
    return impl_->perform(*easy, request, &keys);
}

Response CurlTransport::Impl::perform(EasyHandle& easy, const Request& request,
                                      const SigV4Keys* keys) {
    const std::uint64_t cpuStart = threadCpuNanoseconds();
    CURL* handle = easy.curl;
    char* errorText = easy.errorText;
    RequestStarts& starts = easy.starts;
    errorText[0] = '\0';
    std::optional<SigningScope> signing;
    if (keys != nullptr)
        signing.emplace(handle, *keys);

    Response response;
    setOption(handle, CURLOPT_URL, request.url.c_str());
    setOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(&response.body));
    Receiving receiving{response, request.method != "HEAD"};
    setOption(handle, CURLOPT_HEADERDATA, static_cast<void*>(&receiving));

    // The handle keeps the previous request's method options: start each request from a plain
    // GET (which also clears HEAD and upload) without a custom method.
    const std::string& method = request.method;
    const bool sendsBody =
        !request.body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
    setOption(handle, CURLOPT_HTTPGET, 1L);
    setOption(handle, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    if (method == "HEAD") {
        setOption(handle, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
        // Always a Content-Length, even 0: ARM refuses a POST without one.
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                  static_cast<curl_off_t>(request.body.size()));
        setOption(handle, CURLOPT_POSTFIELDS, request.body.data());
        if (method != "POST")
            setOption(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method != "GET") {
        setOption(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    Slist headerList;
    auto appendHeader = [&headerList](const std::string& line) {
        curl_slist* grown = curl_slist_append(headerList.get(), line.c_str());
        if (grown == nullptr)
            throw TransportError("cannot build the request headers", false);
        headerList.release();
        headerList.reset(grown);
    };
    for (const auto& [name, value] : request.headers) {
        // "Name;" is curl's way to send a header with an empty value.
        appendHeader(value.empty() ? name + ";" : name + ": " + value);
    }
    // curl signs the headers it is given, so the token is signed along with the rest.
    if (keys != nullptr && !keys->sessionToken.empty())
        appendHeader("X-Amz-Security-Token: " + keys->sessionToken);
    // Without this curl waits up to a second for "100 Continue" before sending larger bodies.
    if (!hasHeader(request.headers, "Expect"))
        appendHeader("Expect:");
    // curl would label any body as a form; the caller names the type or there is none.
    if (sendsBody && !hasHeader(request.headers, "Content-Type"))
        appendHeader("Content-Type:");
    setOption(handle, CURLOPT_HTTPHEADER, headerList.get());

    auto log = dm::namedLogger(options.loggerName.c_str());
    if (log->should_log(spdlog::level::trace)) {
        for (const auto& [name, value] : request.headers) {
            log->trace("  > {}: {}", name, redactHeader(name, value));
        }
    }

    starts.count = 0;
    starts.closedBeforeSending = false;
    const auto start = std::chrono::steady_clock::now();
    const CURLcode rc = curl_easy_perform(handle);
    // The list dies with this call; the handle must not keep pointing at it.
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    long connects = 0;
    if (curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects) != CURLE_OK || connects < 0)
        connects = 0;
    const std::uint64_t cpuUsed = threadCpuNanoseconds() - cpuStart;
    {
        std::lock_guard lock(mutex);
        ++stats.requests;
        stats.connectionsOpened += static_cast<std::uint64_t>(connects);
        stats.cpuNanoseconds += cpuUsed;
    }

    if (rc != CURLE_OK) {
        TransportFailure failure = failureOf(rc, handle);
        std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(rc);
        if (rc == CURLE_ABORTED_BY_CALLBACK && starts.count > 1) {
            failure = TransportFailure::ClosedUnanswered;
            detail = "the server closed the connection without answering";
        } else if (failure == TransportFailure::UntrustedPeer) {
            // Which trust anchors were used is the first thing to check, and curl does not say.
            detail += options.caBundle
                          ? "; the server's certificate was checked against the CA file " +
                                *options.caBundle
                          : std::string(
                                "; the server's certificate was checked against the "
                                "system's CA store (no CA file configured)");
        }
        if (log->should_log(spdlog::level::debug)) {
            log->debug("{} {} -> no response ({} ms): {}", method, redactUrl(request.url), elapsed,
                       detail);
        }
        throw TransportError(
            fmt::format("{} {} failed: {}", method, urlWithoutQuery(request.url), detail), failure);
    }

    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int>(status);
    // The redacted URL is built only when the line is written.
    if (log->should_log(spdlog::level::debug)) {
        log->debug("{} {} -> {} ({} ms)", method, redactUrl(request.url), response.status, elapsed);
    }
    if (log->should_log(spdlog::level::trace)) {
        for (const auto& [name, value] : response.headers) {
            log->trace("  < {}: {}", name, redactHeader(name, value));
        }
    }
    return response;
}

std::shared_ptr<Transport> makeCurlTransport(CurlTransportOptions options) {
    return std::make_shared<CurlTransport>(std::move(options));
}

}  // namespace dm::http
