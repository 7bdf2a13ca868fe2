// Placeholder controller: knows no action yet.
#include "controller/controller_model.hpp"

namespace dm::emu {
namespace {
class EmptyController : public ControllerModel {
public:
    void load(const Json&) override {}
    Json dump() const override { return Json::object(); }
    ControllerReply handle(const std::map<std::string, std::string>&) override {
        return {200, R"({"return": false, "reason": "unknown action"})"};
    }
};
}  // namespace

std::unique_ptr<ControllerModel> makeControllerModel(ControllerModel::WriteSink) {
    return std::make_unique<EmptyController>();
}
}  // namespace dm::emu
