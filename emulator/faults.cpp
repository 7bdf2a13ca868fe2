#include "faults.hpp"

#include "core/error.hpp"
#include "core/text.hpp"
#include "form_fields.hpp"

namespace dm::emu {
namespace {

const char* kindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Status:
            return "status";
        case FaultKind::Drop:
            return "drop";
        case FaultKind::LroFailed:
            return "lro_failed";
        case FaultKind::Conflict:
            return "conflict";
        case FaultKind::Delay:
            return "delay";
    }
    return "";
}

std::string defaultCode(int status) {
    switch (status) {
        case 400:
            return "BadRequest";
        case 401:
            return "InvalidAuthenticationToken";
        case 403:
            return "AuthorizationFailed";
        case 404:
            return "NotFound";
        case 409:
            return "Conflict";
        case 429:
            return "TooManyRequests";
        case 500:
            return "InternalServerError";
        case 502:
            return "BadGateway";
        case 503:
            return "ServiceUnavailable";
        case 504:
            return "GatewayTimeout";
        default:
            return "InjectedFault";
    }
}

int integer(const Json& rule, const char* key, int fallback) {
    if (!rule.contains(key)) {
        return fallback;
    }
    if (!rule[key].is_number_integer()) {
        throw dm::Error(std::string("fault: \"") + key + "\" must be an integer");
    }
    return rule[key].get<int>();
}

std::string string(const Json& rule, const char* key, const std::string& fallback) {
    if (!rule.contains(key)) {
        return fallback;
    }
    if (!rule[key].is_string()) {
        throw dm::Error(std::string("fault: \"") + key + "\" must be a string");
    }
    return rule[key].get<std::string>();
}

}  // namespace

Fault parseFault(const Json& rule, int id) {
    if (!rule.is_object()) {
        throw dm::Error("fault: must be a JSON object");
    }
    Fault f;
    f.id = id;
    const std::string kind = string(rule, "kind", "status");
    if (kind == "status") {
        f.kind = FaultKind::Status;
    } else if (kind == "drop") {
        f.kind = FaultKind::Drop;
    } else if (kind == "lro_failed") {
        f.kind = FaultKind::LroFailed;
    } else if (kind == "conflict") {
        f.kind = FaultKind::Conflict;
    } else if (kind == "delay") {
        f.kind = FaultKind::Delay;
    } else {
        throw dm::Error("fault: unknown kind \"" + kind +
                        "\" (status, drop, lro_failed, conflict, delay)");
    }
    f.method = dm::text::toLower(string(rule, "method", ""));
    f.pathPattern = string(rule, "path", "");
    try {
        f.path = std::regex(f.pathPattern, std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
        throw dm::Error("fault: \"path\" is not a valid regular expression: " + f.pathPattern);
    }
    f.action = string(rule, "action", "");
    f.fields =
        readFormFields(rule, [](const std::string& what) { throw dm::Error("fault: " + what); });
    f.after = integer(rule, "after", 0);
    f.count = integer(rule, "count", 1);
    f.status = integer(rule, "status", f.kind == FaultKind::Conflict ? 409 : 500);
    if (f.status < 100 || f.status > 599) {
        throw dm::Error("fault: \"status\" must be an HTTP status");
    }
    if (f.kind == FaultKind::Conflict) {
        f.code = string(rule, "code", "AnotherOperationInProgress");
        f.message = string(rule, "message",
                           "Another operation on this or dependent resource is in progress.");
    } else if (f.kind == FaultKind::LroFailed) {
        f.code = string(rule, "code", "InternalServerError");
        f.message = string(rule, "message", "An error occurred.");
    } else {
        f.code = string(rule, "code", defaultCode(f.status));
        f.message = string(rule, "message", "Injected fault.");
    }
    if (rule.contains("retry_after")) {
        f.retryAfter = integer(rule, "retry_after", 0);
    }
    if (rule.contains("body")) {
        f.body = string(rule, "body", "");
    }
    f.delayMs = integer(rule, "delay_ms", 0);
    return f;
}

Json Fault::toJson() const {
    Json j = {
        {"id", id},         {"kind", kindName(kind)}, {"method", method}, {"path", pathPattern},
        {"action", action}, {"after", after},         {"count", count},   {"fired", fired}};
    if (kind == FaultKind::Status || kind == FaultKind::Conflict) {
        j["status"] = status;
    }
    if (kind != FaultKind::Drop && kind != FaultKind::Delay) {
        j["code"] = code;
        j["message"] = message;
    }
    if (!fields.empty()) {
        j["fields"] = fields;
    }
    if (retryAfter) {
        j["retry_after"] = *retryAfter;
    }
    if (body) {
        j["body"] = *body;
    }
    if (kind == FaultKind::Delay) {
        j["delay_ms"] = delayMs;
    }
    return j;
}

Json FaultList::add(const Json& rule) {
    faults_.push_back(parseFault(rule, nextId_++));
    return faults_.back().toJson();
}

void FaultList::clear() {
    faults_.clear();
}

Json FaultList::list() const {
    Json out = Json::array();
    for (const auto& f : faults_) {
        out.push_back(f.toJson());
    }
    return out;
}

Fault* FaultList::select(const std::string& method, const std::string& path,
                         const std::map<std::string, std::string>& form) {
    for (auto& f : faults_) {
        if (f.count == 0 || (!f.method.empty() && f.method != dm::text::toLower(method)) ||
            (!f.action.empty() && !carriesFields(form, {{"action", f.action}})) ||
            !carriesFields(form, f.fields) || !std::regex_search(path, f.path)) {
            continue;
        }
        // Lost-LRO faults only make sense for requests that start an operation.
        if (f.kind == FaultKind::LroFailed && method != "PUT" && method != "DELETE") {
            continue;
        }
        if (f.after > 0) {
            --f.after;
            continue;
        }
        return &f;
    }
    return nullptr;
}

Fault* FaultList::byId(int id) {
    for (auto& f : faults_) {
        if (f.id == id) {
            return &f;
        }
    }
    return nullptr;
}

void FaultList::fire(Fault& fault) {
    if (fault.count > 0) {
        --fault.count;
    }
    ++fault.fired;
    ++firedTotal_;
}

}  // namespace dm::emu
