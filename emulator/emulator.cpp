#include "emulator.hpp"

#include <httplib.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "api_versions.hpp"
#include "cloud_model.hpp"
#include "cloud_state.hpp"
#include "controller/controller_model.hpp"
#include "core/error.hpp"
#include "core/text.hpp"
#include "faults.hpp"
#include "request_log.hpp"
#include "tls_material.hpp"

namespace dm::emu {
namespace {

namespace fs = std::filesystem;
using dm::text::iequals;

const char* kJson = "application/json; charset=utf-8";

constexpr std::size_t kWorkerThreads = 96;

const std::vector<std::string> kCounterNames = {"arm_read",       "arm_write",  "lro_poll", "token",
                                                "resource_graph", "controller", "admin"};

std::vector<std::string> pathSegments(const std::string& path) {
    std::vector<std::string> out;
    for (auto& s : dm::text::split(path, '/')) {
        if (!s.empty()) {
            out.push_back(dm::text::toLower(s));
        }
    }
    return out;
}

std::string classify(const std::string& method, const std::string& path) {
    const auto segs = pathSegments(path);
    if (!segs.empty() && segs[0] == "admin") {
        return "admin";
    }
    if (method == "POST" && segs.size() == 4 && segs[1] == "oauth2" && segs[2] == "v2.0" &&
        segs[3] == "token") {
        return "token";
    }
    // Managed identity: the metadata service's path and the App Service style one.
    if (method == "GET" &&
        (segs == std::vector<std::string>{"metadata", "identity", "oauth2", "token"} ||
         segs == std::vector<std::string>{"msi", "token"})) {
        return "token";
    }
    if (method == "POST" && segs.size() == 2 && segs[0] == "v1" && segs[1] == "api") {
        return "controller";
    }
    if (method == "POST" && segs.size() == 3 && segs[0] == "providers" &&
        segs[1] == "microsoft.resourcegraph" && segs[2] == "resources") {
        return "resource_graph";
    }
    if (method == "GET" && segs.size() == 8 && segs[0] == "subscriptions" &&
        segs[4] == "locations" && (segs[6] == "operations" || segs[6] == "operationresults")) {
        return "lro_poll";
    }
    return method == "GET" || method == "HEAD" ? "arm_read" : "arm_write";
}

std::map<std::string, std::string> parseForm(const std::string& body) {
    httplib::Params params;
    httplib::detail::parse_query_text(body, params);
    std::map<std::string, std::string> form;
    for (const auto& [k, v] : params) {
        form.emplace(k, v);
    }
    return form;
}

bool isLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || dm::text::startsWith(host, "127.");
}

Json parseJson(const std::string& text) {
    Json j = Json::parse(text, nullptr, false);
    return j.is_discarded() ? Json() : j;
}

void writeFile(const fs::path& path, const std::string& content, bool secret) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        throw dm::Error("emulator: cannot write " + path.string());
    }
    if (secret) {
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    }
}

}  // namespace

struct Emulator::Impl {
    EmulatorOptions options;

    mutable std::mutex mu;  // guards everything below that requests touch
    CloudModel model;
    std::unique_ptr<ControllerModel> controller;
    Json log = Json::array();
    long logSeq = 0;
    std::map<std::string, long> counts;
    std::set<std::pair<std::string, int>> connections;
    std::map<std::pair<std::string, int>, int> connectionFds;
    FaultList faults;
    RequestLog requests{1000};
    std::atomic<int> latencyMs{0};
    Timing timing;
    std::atomic<long> requestCounter{0};
    int inFlight = 0;      // non-admin requests being handled; under `mu`
    int inFlightPeak = 0;  // the most at once since the counters were reset

    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::atomic<int> port{0};
    std::string host;
    std::string stateDir;
    bool ownsStateDir = false;
    std::string caFile;
    std::atomic<bool> shutdownRequested{false};

    Impl() {
        // The sink runs inside controller->handle(), which is only called with `mu` held.
        controller =
            makeControllerModel([this](const Json& entry) { appendLog("controller", entry); });
    }

    std::string baseUrl() const { return "https://" + host + ":" + std::to_string(port.load()); }

    void appendLog(const std::string& source, const Json& entry) {
        Json e = {{"seq", ++logSeq}, {"source", source}};
        if (entry.is_object()) {
            for (auto it = entry.begin(); it != entry.end(); ++it) {
                if (!e.contains(it.key())) {
                    e[it.key()] = it.value();
                }
            }
        } else {
            e["entry"] = entry;
        }
        log.push_back(e);
    }

    // All or nothing: when either half refuses the topology, both keep their state.
    void load(const Json& topology) {
        const Json before = controller->dump();
        try {
            controller->load(topology.is_object() && topology.contains("controller")
                                 ? topology["controller"]
                                 : Json::object());
        } catch (const dm::Error&) {
            throw;
        } catch (const std::exception& e) {
            throw dm::ConfigError(std::string("topology: ") + e.what());
        }
        try {
            model.load(topology);
        } catch (...) {
            controller->load(before);
            throw;
        }
    }

    Json settingsJson() const {
        ModelSettings& s = const_cast<CloudModel&>(model).settings();
        const char* conflicts = s.conflicts == ConflictMode::Off         ? "off"
                                : s.conflicts == ConflictMode::Status409 ? "409"
                                                                         : "429";
        return {{"page_size", s.pageSize},
                {"lro_polls", s.lroPolls},
                {"latency_ms", latencyMs.load()},
                {"conflicts", conflicts},
                {"profile", timing.options().profile},
                {"time_scale", timing.options().timeScale},
                {"seed", timing.options().seed},
                {"request_log_size", requests.capacity()}};
    }

    void updateSettings(const Json& changes) {
        if (!changes.is_object()) {
            throw dm::Error("settings: must be a JSON object");
        }
        auto number = [&changes](const char* key, int min) {
            const Json& v = changes[key];
            if (!v.is_number_integer() || v.get<int>() < min) {
                throw dm::Error(std::string("settings: \"") + key +
                                "\" must be an integer >= " + std::to_string(min));
            }
            return v.get<int>();
        };
        ModelSettings next = model.settings();
        int latency = latencyMs.load();
        TimingOptions nextTiming = timing.options();
        bool timingChanged = false;
        std::size_t requestLogSize = requests.capacity();
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            if (applyTimingSetting(nextTiming, it.key(), it.value())) {
                timingChanged = true;
                continue;
            }
            if (it.key() == "page_size") {
                next.pageSize = number("page_size", 1);
            } else if (it.key() == "lro_polls") {
                next.lroPolls = number("lro_polls", 0);
            } else if (it.key() == "latency_ms") {
                latency = number("latency_ms", 0);
            } else if (it.key() == "request_log_size") {
                requestLogSize = static_cast<std::size_t>(number("request_log_size", 0));
            } else if (it.key() == "conflicts") {
                const std::string v = it.value().is_string() ? it.value().get<std::string>() : "";
                if (v == "off") {
                    next.conflicts = ConflictMode::Off;
                } else if (v == "409") {
                    next.conflicts = ConflictMode::Status409;
                } else if (v == "429") {
                    next.conflicts = ConflictMode::Status429;
                } else {
                    throw dm::Error("settings: \"conflicts\" must be \"off\", \"409\" or \"429\"");
                }
            } else {
                throw dm::Error("settings: unknown key \"" + it.key() + "\"");
            }
        }
        model.settings() = next;
        latencyMs = latency;
        if (timingChanged) {
            timing.configure(nextTiming);
        }
        requests.setCapacity(requestLogSize);
    }

    Json countersJson() const {
        Json c = Json::object();
        long total = 0;
        for (const auto& name : kCounterNames) {
            auto it = counts.find(name);
            const long n = it == counts.end() ? 0 : it->second;
            c[name] = n;
            total += n;
        }
        c["requests_total"] = total;
        c["token_grants"] = model.tokenGrants() - tokenGrantsBase;
        c["tls_connections"] = static_cast<long>(connections.size());
        c["faults_fired"] = faults.firedTotal() - faultsFiredBase;
        c["in_flight_peak"] = inFlightPeak;
        return c;
    }
    long tokenGrantsBase = 0;
    long faultsFiredBase = 0;

    void resetCounters() {
        counts.clear();
        connections.clear();
        inFlightPeak = inFlight;
        tokenGrantsBase = model.tokenGrants();
        faultsFiredBase = faults.firedTotal();
    }

    Json readyInfo() const {
        return {{"base_url", baseUrl()},
                {"arm_url", baseUrl()},
                {"login_url", baseUrl()},
                {"controller_address", host + ":" + std::to_string(port.load())},
                {"admin_url", baseUrl() + "/admin"},
                {"ca_file", caFile},
                {"pid", static_cast<long>(::getpid())}};
    }

    static void send(httplib::Response& res, const Reply& r) {
        res.status = r.status;
        for (const auto& [k, v] : r.headers) {
            res.set_header(k, v);
        }
        if (!r.body.is_null()) {
            res.set_content(r.body.dump(), kJson);
        } else if (!r.text.empty()) {
            res.set_content(r.text, "text/plain; charset=utf-8");
        }
    }

    void noteConnection(const httplib::Request& req, bool counted) {
        const auto peer = std::make_pair(req.remote_addr, req.remote_port);
        // Admin requests observe the run; counting their connections would hide whether the
        // client under test kept to one.
        if (counted)
            connections.insert(peer);
        if (req.ssl != nullptr) {
            connectionFds[peer] = SSL_get_fd(req.ssl);
        }
    }

    // Closes the connection under the request without answering, as a dropped link would.
    static void dropConnection(const httplib::Request& req) {
        if (req.ssl != nullptr) {
            ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
        }
    }

    // Shuts server-side connections that may sit in keep-alive, so that stop() returns at once.
    // An fd is touched only while it is still the same connection: our port and the same peer.
    void closeConnections() {
        std::lock_guard<std::mutex> lock(mu);
        for (const auto& [peer, fd] : connectionFds) {
            sockaddr_storage local{};
            sockaddr_storage remote{};
            socklen_t ll = sizeof local;
            socklen_t rl = sizeof remote;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) != 0 ||
                ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &rl) != 0 ||
                local.ss_family != AF_INET || remote.ss_family != AF_INET) {
                continue;
            }
            const auto* l4 = reinterpret_cast<const sockaddr_in*>(&local);
            const auto* r4 = reinterpret_cast<const sockaddr_in*>(&remote);
            char addr[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &r4->sin_addr, addr, sizeof addr);
            if (ntohs(l4->sin_port) == port.load() && peer.first == addr &&
                peer.second == ntohs(r4->sin_port)) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        connectionFds.clear();
    }

    Reply faultReply(const Fault& f, const std::string& kind) const {
        Reply r;
        r.status = f.status;
        if (f.retryAfter) {
            r.headers.emplace_back("Retry-After", std::to_string(*f.retryAfter));
        }
        if (f.body) {
            r.text = *f.body;
            return r;
        }
        if (kind == "token") {
            r.body = {{"error", f.code}, {"error_description", f.message}};
        } else if (kind == "controller") {
            r.body = {{"return", false}, {"reason", f.message}};
        } else {
            r.body = {{"error", {{"code", f.code}, {"message", f.message}}}};
        }
        return r;
    }

    void handle(const httplib::Request& req, httplib::Response& res) {
        const std::string kind = classify(req.method, req.path);
        {
            std::lock_guard<std::mutex> lock(mu);
            noteConnection(req, kind != "admin");
            ++counts[kind];
        }
        if (kind == "admin") {
            handleAdmin(req, res);
            return;
        }
        InFlight counted(*this);
        handleRequest(req, res, kind);
    }

    // Counts the requests in the handler at once, so tests see whether a client sent in parallel.
    class InFlight {
      public:
        explicit InFlight(Impl& d) : d_(d) {
            std::lock_guard<std::mutex> lock(d_.mu);
            d_.inFlightPeak = std::max(d_.inFlightPeak, ++d_.inFlight);
        }
        ~InFlight() {
            std::lock_guard<std::mutex> lock(d_.mu);
            --d_.inFlight;
        }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;

      private:
        Impl& d_;
    };

    void handleRequest(const httplib::Request& req, httplib::Response& res,
                       const std::string& kind) {
        const auto form = kind == "token" || kind == "controller"
                              ? parseForm(req.body)
                              : std::map<std::string, std::string>();
        const std::string action = form.count("action") != 0 ? form.at("action") : "";
        if (const auto delay =
                std::chrono::microseconds(std::chrono::milliseconds(latencyMs.load())) +
                timing.requestDelay(kind, req.method, req.path, action);
            delay.count() > 0) {
            std::this_thread::sleep_for(delay);
        }

        std::optional<Fault> fault;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (Fault* f = faults.select(req.method, req.path, form); f != nullptr) {
                if (f->kind != FaultKind::LroFailed) {
                    faults.fire(*f);
                }
                fault = *f;
            }
        }
        if (fault && fault->kind == FaultKind::Delay) {
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
            fault.reset();
        }
        if (fault && fault->kind == FaultKind::Drop) {
            dropConnection(req);
            recordRequest(req, kind, form, std::nullopt, fault->id);
            return;
        }

        Reply reply;
        if (fault && (fault->kind == FaultKind::Status || fault->kind == FaultKind::Conflict)) {
            reply = faultReply(*fault, kind);
        } else {
            std::lock_guard<std::mutex> lock(mu);
            reply = dispatch(req, kind, form, fault);
        }
        if (kind != "token" && kind != "controller") {
            const std::string requestId =
                stableGuid("request:" + std::to_string(requestCounter.fetch_add(1)) + ":" +
                           std::to_string(port.load()));
            reply.headers.emplace_back("x-ms-request-id", requestId);
            reply.headers.emplace_back("x-ms-correlation-request-id",
                                       req.has_header("x-ms-correlation-request-id")
                                           ? req.get_header_value("x-ms-correlation-request-id")
                                           : requestId);
            if (req.has_header("x-ms-client-request-id")) {
                reply.headers.emplace_back("x-ms-client-request-id",
                                           req.get_header_value("x-ms-client-request-id"));
            }
        }
        send(res, reply);
        recordRequest(req, kind, form, reply.status, fault ? fault->id : 0);
    }

    void recordRequest(const httplib::Request& req, const std::string& kind,
                       const std::map<std::string, std::string>& form, std::optional<int> status,
                       int faultId) {
        RequestRecord r{kind,   req.method, req.path,
                        {},     form,       req.get_header_value("Authorization"),
                        status, faultId};
        // The query string only: the server also puts form-encoded body fields in req.params.
        if (const auto q = req.target.find('?'); q != std::string::npos) {
            r.query = parseForm(req.target.substr(q + 1));
        }
        std::lock_guard<std::mutex> lock(mu);
        requests.record(r);
    }

    // Runs with `mu` held.
    Reply dispatch(const httplib::Request& req, const std::string& kind,
                   const std::map<std::string, std::string>& form,
                   const std::optional<Fault>& fault) {
        try {
            if (kind == "token" && req.method == "GET") {
                IdentityCall call{req.path, {}, std::nullopt, std::nullopt};
                for (const auto& [k, v] : req.params)
                    call.query.emplace(k, v);
                if (req.has_header("Metadata"))
                    call.metadata = req.get_header_value("Metadata");
                if (req.has_header("X-IDENTITY-HEADER"))
                    call.identityHeader = req.get_header_value("X-IDENTITY-HEADER");
                return model.identityToken(call);
            }
            if (kind == "token") {
                const auto segs = dm::text::split(req.path, '/');
                return model.token(segs.size() > 1 ? segs[1] : "", form);
            }
            if (kind == "controller") {
                ControllerReply cr = controller->handle(form);
                Reply r;
                r.status = cr.status;
                r.body = parseJson(cr.body);
                if (r.body.is_null()) {
                    r.text = cr.body;
                }
                return r;
            }
            ArmCall call;
            call.method = req.method;
            call.path = req.path;
            call.rawPath = req.target.substr(0, req.target.find('?'));
            for (const auto& [k, v] : req.params) {
                call.query.emplace(k, v);
            }
            call.body = req.body;
            call.authorization = req.get_header_value("Authorization");
            if (fault && fault->kind == FaultKind::LroFailed) {
                call.lroFailure = LroFailure{fault->code, fault->message};
            }
            Reply r = kind == "resource_graph" ? model.resourceGraph(call) : model.arm(call);
            if (fault && fault->kind == FaultKind::LroFailed && r.lroStarted) {
                if (Fault* f = faults.byId(fault->id); f != nullptr) {
                    faults.fire(*f);
                }
            }
            if (kind == "arm_write" && r.status >= 200 && r.status < 300) {
                auto version = call.query.find("api-version");
                appendLog("arm", {{"method", req.method},
                                  {"path", req.path},
                                  {"api_version",
                                   version == call.query.end() ? Json() : Json(version->second)},
                                  {"status", r.status},
                                  {"body", parseJson(req.body)}});
            }
            return r;
        } catch (const std::exception& e) {
            return armError(500, "InternalServerError", std::string("emulator: ") + e.what());
        }
    }

    void handleAdmin(const httplib::Request& req, httplib::Response& res) {
        const auto segs = pathSegments(req.path);
        const std::string what = segs.size() > 1 ? segs[1] : "";
        const std::string& m = req.method;
        auto ok = [&res](const Json& body) { res.set_content(body.dump(), kJson); };
        try {
            std::lock_guard<std::mutex> lock(mu);
            if (what == "state" && m == "GET") {
                ok(dumpLocked());
            } else if (what == "topology" && (m == "POST" || m == "PUT")) {
                Json topology = Json::parse(req.body);
                load(topology);
                ok({{"loaded", true}});
            } else if (what == "settings" && m == "GET") {
                ok(settingsJson());
            } else if (what == "settings" && (m == "POST" || m == "PUT")) {
                updateSettings(Json::parse(req.body));
                ok(settingsJson());
            } else if (what == "faults" && m == "GET") {
                ok(faults.list());
            } else if (what == "faults" && m == "POST") {
                Json rules = Json::parse(req.body);
                if (rules.is_array()) {
                    Json added = Json::array();
                    for (const auto& rule : rules) {
                        added.push_back(faults.add(rule));
                    }
                    ok(added);
                } else {
                    ok(faults.add(rules));
                }
            } else if (what == "faults" && m == "DELETE") {
                faults.clear();
                ok({{"cleared", true}});
            } else if (what == "log" && m == "GET") {
                ok(log);
            } else if (what == "log" && m == "DELETE") {
                log = Json::array();
                ok({{"cleared", true}});
            } else if (what == "requests" && m == "GET") {
                ok(requests.toJson());
            } else if (what == "requests" && m == "DELETE") {
                requests.clear();
                ok({{"cleared", true}});
            } else if (what == "overrides" && m == "GET") {
                ok(controller->overrides());
            } else if (what == "overrides" && m == "POST") {
                Json rules = Json::parse(req.body);
                Json added = Json::array();
                for (const auto& rule : rules.is_array() ? rules : Json::array({rules})) {
                    added.push_back(controller->addOverride(rule));
                }
                ok(rules.is_array() ? added : added[0]);
            } else if (what == "overrides" && m == "DELETE") {
                controller->clearOverrides();
                ok({{"cleared", true}});
            } else if (what == "api-versions" && m == "GET") {
                ok(apiVersionsJson());
            } else if (what == "counters" && m == "GET") {
                ok(countersJson());
            } else if (what == "counters" && m == "DELETE") {
                resetCounters();
                ok({{"cleared", true}});
            } else if (what == "resource" && m == "GET") {
                Json r = model.resource(req.get_param_value("id"));
                if (r.is_null()) {
                    res.status = 404;
                    ok({{"error", {{"code", "NotFound"}, {"message", "No such resource."}}}});
                } else {
                    ok(r);
                }
            } else if (what == "info" && m == "GET") {
                ok(readyInfo());
            } else if (what == "shutdown" && m == "POST") {
                shutdownRequested = true;
                ok({{"stopping", true}});
            } else {
                res.status = 404;
                ok({{"error",
                     {{"code", "NotFound"},
                      {"message", "No admin route " + m + " " + req.path + "."}}}});
            }
        } catch (const std::exception& e) {
            res.status = 400;
            ok({{"error", {{"code", "BadRequest"}, {"message", e.what()}}}});
        }
    }

    Json dumpLocked() {
        Json d = model.dump();
        d["controller"] = controller->dump();
        return d;
    }
};

Emulator::Emulator(EmulatorOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->host = impl_->options.host;
    impl_->latencyMs = impl_->options.latencyMs;
    impl_->timing.configure(impl_->options.timing);
    impl_->model.settings().timing = &impl_->timing;
    impl_->requests.setCapacity(
        static_cast<std::size_t>(std::max(0, impl_->options.requestLogSize)));
    impl_->model.settings().pageSize = std::max(1, impl_->options.pageSize);
    impl_->model.settings().lroPolls = std::max(0, impl_->options.lroPolls);
}

Emulator::~Emulator() {
    stop();
}

void Emulator::start() {
    if (impl_->server) {
        return;
    }
    try {
        startServer();
    } catch (...) {
        impl_->server.reset();
        if (impl_->ownsStateDir) {
            std::error_code ec;
            fs::remove_all(impl_->stateDir, ec);
            impl_->ownsStateDir = false;
        }
        throw;
    }
}

void Emulator::startServer() {
    Impl& d = *impl_;
    if (!isLoopback(d.host)) {
        throw dm::Error("emulator: refusing to listen on " + d.host + ": loopback only");
    }
    // A dropped-connection fault makes the server write to a closed socket; that must fail
    // with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.load(d.options.topology);
    }

    if (d.options.stateDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                            "/dm-cloud-emulator-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) {
            throw dm::Error("emulator: cannot create a state dir under " + templ);
        }
        d.stateDir = templ;
        d.ownsStateDir = true;
    } else {
        d.stateDir = d.options.stateDir;
        std::error_code ec;
        fs::create_directories(d.stateDir, ec);
        if (ec) {
            throw dm::Error("emulator: cannot create state dir " + d.stateDir + ": " +
                            ec.message());
        }
    }
    TlsMaterial tls = makeTlsMaterial();
    d.caFile = (fs::path(d.stateDir) / "ca.pem").string();
    writeFile(d.caFile, certificatePem(tls.caCert.get()), false);
    writeFile(fs::path(d.stateDir) / "server.pem", certificatePem(tls.serverCert.get()), false);
    writeFile(fs::path(d.stateDir) / "server-key.pem", privateKeyPem(tls.serverKey.get()), true);

    auto server = std::make_unique<httplib::SSLServer>(tls.serverCert.get(), tls.serverKey.get());
    if (!server->is_valid()) {
        throw dm::Error("emulator: the TLS server could not be set up");
    }
    // Clients keep connections alive, and each holds a worker while open; handlers sleep for
    // the latency and timing profile. Enough workers for a transport's 64 concurrent sends
    // (dm::http::CurlTransport) with room for the admin API and a second transport.
    server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server->set_keep_alive_max_count(10000000);
    server->set_keep_alive_timeout(10);
    // Headers and body leave in separate writes; without this, Nagle and delayed ACKs add
    // ~40 ms to every answer on a kept-alive connection.
    server->set_tcp_nodelay(true);
    const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        impl_->handle(req, res);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Delete(".*", handler);
    server->Patch(".*", handler);

    const int port = d.options.port == 0
                         ? server->bind_to_any_port(d.host)
                         : (server->bind_to_port(d.host, d.options.port) ? d.options.port : -1);
    if (port <= 0) {
        throw dm::Error("emulator: cannot listen on " + d.host + ":" +
                        std::to_string(d.options.port));
    }
    d.port = port;
    d.model.setBaseUrl(d.baseUrl());
    d.server = std::move(server);
    d.thread = std::thread([&d] { d.server->listen_after_bind(); });
    for (int i = 0; i < 500 && !d.server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Emulator::stop() {
    Impl& d = *impl_;
    if (!d.server) {
        return;
    }
    d.server->stop();
    d.closeConnections();
    if (d.thread.joinable()) {
        d.thread.join();
    }
    d.server.reset();
    if (d.ownsStateDir) {
        std::error_code ec;
        fs::remove_all(d.stateDir, ec);
        d.ownsStateDir = false;
    }
}

bool Emulator::running() const {
    return impl_->server && impl_->server->is_running();
}
int Emulator::port() const {
    return impl_->port;
}
std::string Emulator::baseUrl() const {
    return impl_->baseUrl();
}
std::string Emulator::armUrl() const {
    return impl_->baseUrl();
}
std::string Emulator::loginUrl() const {
    return impl_->baseUrl();
}
std::string Emulator::controllerAddress() const {
    return impl_->host + ":" + std::to_string(impl_->port.load());
}
std::string Emulator::adminUrl() const {
    return impl_->baseUrl() + "/admin";
}
std::string Emulator::caFile() const {
    return impl_->caFile;
}
std::string Emulator::stateDir() const {
    return impl_->stateDir;
}
Json Emulator::readyInfo() const {
    return impl_->readyInfo();
}

void Emulator::loadTopology(const Json& topology) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->load(topology);
}

Json Emulator::dump() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->dumpLocked();
}

Json Emulator::resource(const std::string& id) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->model.resource(id);
}

Json Emulator::writeLog() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->log;
}

void Emulator::clearWriteLog() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->log = Json::array();
}

Json Emulator::requestLog() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->requests.toJson();
}

void Emulator::clearRequestLog() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->requests.clear();
}

Json Emulator::addControllerOverride(const Json& rule) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    try {
        return impl_->controller->addOverride(rule);
    } catch (const std::invalid_argument& e) {
        throw dm::Error(e.what());
    }
}

void Emulator::clearControllerOverrides() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->controller->clearOverrides();
}

Json Emulator::controllerOverrides() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->controller->overrides();
}

Json Emulator::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->countersJson();
}

void Emulator::resetCounters() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->resetCounters();
}

Json Emulator::injectFault(const Json& fault) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->faults.add(fault);
}

void Emulator::clearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->faults.clear();
}

Json Emulator::faults() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->faults.list();
}

Json Emulator::settings() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->settingsJson();
}

void Emulator::updateSettings(const Json& changes) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->updateSettings(changes);
}

void Emulator::setLatencyMs(int ms) {
    updateSettings({{"latency_ms", ms}});
}
void Emulator::setPageSize(int size) {
    updateSettings({{"page_size", size}});
}
void Emulator::setLroPolls(int polls) {
    updateSettings({{"lro_polls", polls}});
}
bool Emulator::shutdownRequested() const {
    return impl_->shutdownRequested;
}

}  // namespace dm::emu
