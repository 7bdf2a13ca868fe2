#pragma once
// Fault rules injected through the admin API: which requests they match and how often they
// fire. The server decides what each kind does to the request.

#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "emulator.hpp"

namespace dm::emu {

enum class FaultKind { Status, Drop, LroFailed, Conflict, Delay };

struct Fault {
    int id = 0;
    FaultKind kind = FaultKind::Status;
    std::string method;  // empty: any
    std::string pathPattern;
    std::regex path;     // searched in the decoded path, case-insensitive
    std::string action;  // controller requests: the form's "action"; empty: any
    // Form fields (controller, token) that must all be present with these values.
    std::map<std::string, std::string> fields;
    int after = 0;  // matching requests let through before the rule fires
    int count = 1;  // times still to fire; negative: every time
    int status = 500;
    std::string code;
    std::string message;
    std::optional<int> retryAfter;
    std::optional<std::string> body;  // raw body instead of the JSON error
    int delayMs = 0;
    int fired = 0;

    Json toJson() const;
};

// Builds a rule from its JSON form; throws dm::Error naming the bad key.
Fault parseFault(const Json& rule, int id);

class FaultList {
  public:
    // Adds the rule and returns it as stored.
    Json add(const Json& rule);
    void clear();
    Json list() const;
    // The first rule that matches and is due to fire, after letting through the requests its
    // "after" asks for; null when none. `form` holds the decoded fields of a form-encoded body
    // (empty for others). Does not count the firing: call fire() for that.
    Fault* select(const std::string& method, const std::string& path,
                  const std::map<std::string, std::string>& form);
    // The rule with that id, or null once cleared.
    Fault* byId(int id);
    // Counts one firing of the rule.
    void fire(Fault& fault);
    long firedTotal() const { return firedTotal_; }

  private:
    std::vector<Fault> faults_;
    int nextId_ = 1;
    long firedTotal_ = 0;
};

}  // namespace dm::emu
