#include "request_log.hpp"

#include <chrono>
#include <ctime>

#include "core/text.hpp"

namespace dm::emu {
namespace {

// UTC with milliseconds: entries of one run are often within the same second.
std::string nowWithMillis() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", buf, static_cast<int>(millis));
    return out;
}

bool namesSecret(const std::string& name) {
    const std::string n = dm::text::toLower(name);
    if (n == "cid") {
        return true;  // the controller's login id works as a session token
    }
    for (const char* word : {"password", "passwd", "secret", "assertion", "credential"}) {
        if (n.find(word) != std::string::npos) {
            return true;
        }
    }
    // access_token, refresh_token, subject_token...; "$skiptoken" is a paging cursor, no secret.
    return n.size() >= 5 && n.compare(n.size() - 5, 5, "token") == 0 && n[0] != '$';
}

Json maskedFields(const std::map<std::string, std::string>& fields, const char* skip) {
    Json out = Json::object();
    for (const auto& [name, value] : fields) {
        if (name != skip) {
            out[name] = RequestLog::maskField(name, value);
        }
    }
    return out;
}

}  // namespace

std::string RequestLog::maskField(const std::string& name, const std::string& value) {
    return namesSecret(name) ? "***" : value;
}

std::string RequestLog::maskAuthorization(const std::string& header) {
    const auto space = header.find(' ');
    return space == std::string::npos ? "***" : header.substr(0, space) + " ***";
}

void RequestLog::record(const RequestRecord& r) {
    if (capacity_ == 0) {
        return;
    }
    Json e = {{"seq", ++seq_},
              {"time", nowWithMillis()},
              {"kind", r.kind},
              {"method", r.method},
              {"path", r.path}};
    auto version = r.query.find("api-version");
    e["api_version"] = version == r.query.end() ? Json() : Json(version->second);
    e["status"] = r.status ? Json(*r.status) : Json();
    if (r.query.size() > (version == r.query.end() ? 0u : 1u)) {
        e["query"] = maskedFields(r.query, "api-version");
    }
    if (!r.authorization.empty()) {
        e["authorization"] = maskAuthorization(r.authorization);
    }
    if (auto action = r.form.find("action"); action != r.form.end()) {
        e["action"] = action->second;
    }
    if (!r.form.empty()) {
        e["form"] = maskedFields(r.form, "action");
    }
    if (r.faultId != 0) {
        e["fault"] = r.faultId;
    }
    entries_.push_back(std::move(e));
    trim();
}

void RequestLog::trim() {
    while (entries_.size() > capacity_) {
        entries_.pop_front();
        ++dropped_;
    }
}

Json RequestLog::toJson() const {
    Json list = Json::array();
    for (const auto& e : entries_) {
        list.push_back(e);
    }
    return {{"capacity", capacity_}, {"dropped", dropped_}, {"requests", std::move(list)}};
}

void RequestLog::clear() {
    entries_.clear();
    dropped_ = 0;
}

void RequestLog::setCapacity(std::size_t capacity) {
    capacity_ = capacity;
    trim();
}

}  // namespace dm::emu
