// The floor under the tool's CPU per request: the same HTTP transport sending one GET after
// another over its kept-alive connection, nothing else done.
// Usage: dm-bench-bare-requests URL CA_FILE COUNT  (bearer token in BENCH_TOKEN, optional)
// Prints the CPU time per request (user + system, from getrusage) and the peak RSS.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/http/curl_transport.hpp"

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL CA_FILE COUNT\n", argv[0]);
        return 2;
    }
    dm::http::CurlTransportOptions options;
    options.caBundle = argv[2];
    dm::http::CurlTransport transport(options);
    dm::http::Request request{"GET", argv[1]};
    if (const char* token = std::getenv("BENCH_TOKEN"))
        request.headers.emplace_back("Authorization", std::string("Bearer ") + token);
    const long count = std::strtol(argv[3], nullptr, 10);
    // The first request pays for the connection and the TLS handshake, as the tool's does once.
    if (transport.send(request).status != 200) {
        std::fprintf(stderr, "bare requests: %s did not answer 200\n", argv[1]);
        return 1;
    }
    const double start = cpuSeconds();
    for (long i = 0; i < count; ++i)
        transport.send(request);
    const double cpu = cpuSeconds() - start;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("bare requests: %ld GETs, %.1f us CPU per request, peak RSS %.1f MB\n", count,
                count > 0 ? 1e6 * cpu / count : 0.0, usage.ru_maxrss / 1024.0);
    return 0;
}
