#pragma once
// Fixed answers for controller actions: a test that needs a listing, a received-CIDR answer or
// a refusal the model would not compute states it here. A rule names an action, optionally form
// fields that must match, and the answer; the first matching rule wins over the model.

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "controller/controller_model.hpp"

namespace dm::emu {

struct ControllerOverride {
    using Json = nlohmann::ordered_json;

    std::string action;
    std::map<std::string, std::string> fields;  // form fields that must be sent with these values
    int status = 200;
    Json answer;  // the body to send: JSON as JSON, a text as raw text
    Json rule;    // the rule as given, for listings and dumps

    bool matches(const std::map<std::string, std::string>& form) const;
    ControllerReply reply() const;
};

class ControllerOverrides {
  public:
    using Json = nlohmann::ordered_json;

    // Parses one rule; throws std::invalid_argument naming `where` and the bad key.
    static ControllerOverride parse(const Json& rule, const std::string& where);
    // Parses a list of rules (null: none); throws like parse().
    static ControllerOverrides fromJson(const Json& list, const std::string& where);

    void add(ControllerOverride rule) { rules_.push_back(std::move(rule)); }
    void clear() { rules_.clear(); }
    bool empty() const { return rules_.empty(); }
    // The first rule for the form's action whose fields match; null when none.
    const ControllerOverride* find(const std::map<std::string, std::string>& form) const;
    Json toJson() const;

  private:
    std::vector<ControllerOverride> rules_;
};

}  // namespace dm::emu
