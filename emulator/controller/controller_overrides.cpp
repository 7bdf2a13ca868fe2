#include "controller/controller_overrides.hpp"

#include <stdexcept>

#include "form_fields.hpp"

namespace dm::emu {
namespace {

using Json = ControllerOverride::Json;

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw std::invalid_argument(where + ": " + what);
}

}  // namespace

bool ControllerOverride::matches(const std::map<std::string, std::string>& form) const {
    return carriesFields(form, {{"action", action}}) && carriesFields(form, fields);
}

ControllerReply ControllerOverride::reply() const {
    return {status, answer.is_string() ? answer.get<std::string>() : answer.dump()};
}

ControllerOverride ControllerOverrides::parse(const Json& rule, const std::string& where) {
    if (!rule.is_object()) {
        bad(where, "must be a map");
    }
    ControllerOverride o;
    o.rule = rule;
    if (!rule.contains("action") || !rule["action"].is_string() ||
        rule["action"].get<std::string>().empty()) {
        bad(where, "\"action\" must be a non-empty text");
    }
    o.action = rule["action"].get<std::string>();
    o.fields = readFormFields(rule, [&where](const std::string& what) { bad(where, what); });
    if (rule.contains("status")) {
        if (!rule["status"].is_number_integer() || rule["status"].get<int>() < 100 ||
            rule["status"].get<int>() > 599) {
            bad(where, "\"status\" must be an HTTP status");
        }
        o.status = rule["status"].get<int>();
    }
    const int answers = static_cast<int>(rule.contains("results")) +
                        static_cast<int>(rule.contains("reason")) +
                        static_cast<int>(rule.contains("body"));
    if (answers != 1) {
        bad(where, "needs exactly one of \"results\", \"reason\" and \"body\"");
    }
    if (rule.contains("results")) {
        o.answer = Json{{"return", true}, {"results", rule["results"]}};
    } else if (rule.contains("reason")) {
        if (!rule["reason"].is_string()) {
            bad(where, "\"reason\" must be a text");
        }
        o.answer = Json{{"return", false}, {"reason", rule["reason"]}};
    } else {
        o.answer = rule["body"];
    }
    return o;
}

ControllerOverrides ControllerOverrides::fromJson(const Json& list, const std::string& where) {
    ControllerOverrides out;
    if (list.is_null()) {
        return out;
    }
    if (!list.is_array()) {
        bad(where, "must be a list");
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        out.add(parse(list[i], where + "[" + std::to_string(i) + "]"));
    }
    return out;
}

const ControllerOverride* ControllerOverrides::find(
    const std::map<std::string, std::string>& form) const {
    for (const auto& r : rules_) {
        if (r.matches(form)) {
            return &r;
        }
    }
    return nullptr;
}

Json ControllerOverrides::toJson() const {
    Json list = Json::array();
    for (const auto& r : rules_) {
        list.push_back(r.rule);
    }
    return list;
}

}  // namespace dm::emu
