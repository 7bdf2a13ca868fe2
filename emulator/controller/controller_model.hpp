#pragma once
// The controller half of the emulator: a model of the controller's state that answers the
// controller API's form-encoded POSTs. The HTTPS server routes "POST /v1/api" here.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace dm::emu {

struct ControllerReply {
    int status = 200;
    std::string body;  // JSON text
};

class ControllerModel {
  public:
    using Json = nlohmann::ordered_json;
    // Receives one entry per state-changing request, to append to the emulator's write log.
    using WriteSink = std::function<void(const Json& entry)>;

    virtual ~ControllerModel() = default;
    // Replaces the state with the topology's "controller" section (absent: an empty controller).
    virtual void load(const Json& section) = 0;
    virtual Json dump() const = 0;
    // Answers one API request given its decoded form fields.
    virtual ControllerReply handle(const std::map<std::string, std::string>& form) = 0;

    // Fixed answers (docs/emulator.md), also loaded from the section's "overrides" and dumped
    // there. addOverride returns the rule as stored; it throws std::invalid_argument when the
    // rule is malformed.
    virtual Json addOverride(const Json& rule) = 0;
    virtual void clearOverrides() = 0;
    virtual Json overrides() const = 0;
};

std::unique_ptr<ControllerModel> makeControllerModel(ControllerModel::WriteSink sink);

}  // namespace dm::emu
