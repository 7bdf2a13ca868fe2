#pragma once
// What the fuzz targets share: a scratch folder, a fresh run per input with quiet logging, and a
// transport that answers from the input. Each target defines LLVMFuzzerTestOneInput; libFuzzer
// or the replay driver (replay_main.cpp) calls it.

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <algorithm>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "platform/azure/credential.hpp"
#include "platform/http/http.hpp"
#include "services/context/run_context.hpp"

namespace dm::fuzz {

namespace fs = std::filesystem;

// Stops the process with a message: a broken invariant is a finding, as a crash is.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void require(bool holds, const std::string& what) {
    if (!holds)
        fail(what);
}

// One folder under the system's temporary folder for the whole process, removed at exit.
// Targets write only here.
class ScratchFolder {
  public:
    explicit ScratchFolder(const std::string& name) {
        std::string pattern =
            (fs::temp_directory_path() / ("dm-fuzz-" + name + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            fail("cannot create a scratch folder under " + fs::temp_directory_path().string());
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& path() const { return path_; }

    // Writes the bytes to `relative` (parents created) and returns its path.
    fs::path write(const fs::path& relative, std::string_view bytes) const {
        const fs::path file = path_ / relative;
        fs::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            fail("cannot write " + file.string());
        return file;
    }

  private:
    fs::path path_;
};

// Every logger writes to a sink that drops the lines, at debug level so the lines are still
// formatted. Done once per process.
inline void quietLogging() {
    static const bool done = [] {
        auto logger = std::make_shared<spdlog::logger>(
            "fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
        logger->set_level(spdlog::level::debug);
        spdlog::set_default_logger(logger);
        spdlog::set_level(spdlog::level::debug);
        return true;
    }();
    (void)done;
}

// A fresh run installed for one input, as the program's main makes one per run.
struct FreshRun {
    FreshRun() { quietLogging(); }
    RunContext run;
    RunScope scope{run};
};

// The input cut into parts: an operation line, then answers.
//
//   <operation>\n
//   %%\n
//   <status>\n                 0 stands for "no answer": the transport throws TransportError
//   <Header>: <value>\n        any number, up to an empty line
//   \n
//   <body>
//   %%\n ...                   the next answer
struct Script {
    std::string operation;
    std::deque<http::Response> answers;
};

// The script's operation when `known` has it; else one picked by its bytes, so that every input
// runs something.
inline std::string pickOperation(const std::string& named, const std::vector<std::string>& known) {
    if (std::find(known.begin(), known.end(), named) != known.end())
        return named;
    std::size_t sum = 0;
    for (unsigned char c : named)
        sum += c;
    return known[sum % known.size()];
}

inline Script parseScript(std::string_view input) {
    constexpr std::string_view kSeparator = "\n%%\n";
    std::deque<std::string_view> parts;
    for (std::size_t from = 0;;) {
        const std::size_t at = input.find(kSeparator, from);
        parts.push_back(input.substr(from, at == std::string_view::npos ? at : at - from));
        if (at == std::string_view::npos)
            break;
        from = at + kSeparator.size();
    }
    Script script;
    script.operation = std::string(parts.front());
    parts.pop_front();
    for (std::string_view part : parts) {
        http::Response answer;
        answer.status = 200;
        std::size_t lineEnd = part.find('\n');
        const std::string_view statusLine = part.substr(0, lineEnd);
        std::from_chars(statusLine.data(), statusLine.data() + statusLine.size(), answer.status);
        part = lineEnd == std::string_view::npos ? std::string_view() : part.substr(lineEnd + 1);
        // Header lines up to the first empty line; a line without a name and ":" starts the body.
        while ((lineEnd = part.find('\n')) != std::string_view::npos) {
            const std::string_view line = part.substr(0, lineEnd);
            if (line.empty()) {
                part.remove_prefix(1);
                break;
            }
            const std::size_t colon = line.find(':');
            if (colon == 0 || colon == std::string_view::npos)
                break;
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            answer.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
            part.remove_prefix(lineEnd + 1);
        }
        answer.body = std::string(part);
        script.answers.push_back(std::move(answer));
    }
    return script;
}

// The input's script, its operation one of `known` (see pickOperation).
inline Script readScript(const std::uint8_t* data, std::size_t size,
                         const std::vector<std::string>& known) {
    Script script = parseScript({reinterpret_cast<const char*>(data), size});
    script.operation = pickOperation(script.operation, known);
    return script;
}

// Answers each request with the script's next answer; once they run out, with `last`, which
// ends whatever loop is asking (a list page without a next link, a finished operation).
class ScriptedTransport : public http::Transport {
  public:
    ScriptedTransport(std::deque<http::Response> answers, http::Response last)
        : answers_(std::move(answers)), last_(std::move(last)) {}

    http::Response send(const http::Request& request) override {
        ++requests_;
        // A loop that keeps asking after the script ran out would never end.
        require(requests_ < kMaxRequests, "more than 10000 requests for one input: " + request.url);
        if (answers_.empty())
            return last_;
        http::Response answer = std::move(answers_.front());
        answers_.pop_front();
        if (answer.status == 0)
            throw http::TransportError("scripted: no answer", true);
        return answer;
    }

  private:
    static constexpr std::size_t kMaxRequests = 10'000;
    std::deque<http::Response> answers_;
    http::Response last_;
    std::size_t requests_ = 0;
};

// A credential that hands out one fixed token and sends through the given transport.
class StaticCredential : public azure::TokenCredential {
  public:
    explicit StaticCredential(std::shared_ptr<http::Transport> transport)
        : transport_(std::move(transport)) {
        cloud_.name = "custom";
        cloud_.resourceManager = "https://arm.fuzz";
        cloud_.authorityHost = "https://login.fuzz";
        cloud_.tokenScope = "https://arm.fuzz/.default";
    }
    azure::AccessToken getToken(const std::string&) override {
        return {"token", std::chrono::system_clock::now() + std::chrono::hours(1)};
    }
    const azure::AzureCloud& cloud() const override { return cloud_; }
    std::shared_ptr<http::Transport> transport() const override { return transport_; }

  private:
    azure::AzureCloud cloud_;
    std::shared_ptr<http::Transport> transport_;
};

inline http::Response answer(int status, std::string body) {
    http::Response response;
    response.status = status;
    response.body = std::move(body);
    return response;
}

}  // namespace dm::fuzz
