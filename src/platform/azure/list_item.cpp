#include "platform/azure/list_item.hpp"

namespace dm::azure {

std::string ListedResource::id() const {
    return item_.stringAt({"id"}).value_or("");
}

std::string ListedResource::name() const {
    return item_.stringAt({"name"}).value_or("");
}

std::string ListedResource::type() const {
    return item_.stringAt({"type"}).value_or("");
}

std::optional<std::string> ListedResource::location() const {
    return item_.stringAt({"location"});
}

std::optional<std::string> ListedResource::provisioning_state() const {
    return stringProperty("provisioningState");
}

Record ListedResource::tags() const {
    auto tags = item_.valueAt({"tags"});
    return tags && tags->is_object() ? std::move(*tags) : Record(nullptr);
}

std::optional<std::string> ListedResource::tag(const char* key) const {
    return item_.stringAt({"tags", key});
}

std::optional<std::string> ListedResource::stringProperty(const char* key) const {
    return item_.stringAt({"properties", key});
}

std::optional<bool> ListedResource::boolProperty(const char* key) const {
    return item_.boolAt({"properties", key});
}

std::optional<std::string> ListedResource::referenceId(const char* key) const {
    return item_.stringAt({"properties", key, "id"});
}

std::string_view ListedResource::nameView() const {
    return item_.viewAt({"name"}).value_or("");
}

std::string_view ListedResource::idView() const {
    return item_.viewAt({"id"}).value_or("");
}

std::optional<std::string_view> ListedResource::tagView(const char* key) const {
    return item_.viewAt({"tags", key});
}

std::optional<std::string_view> ListedResource::referenceIdView(const char* key) const {
    return item_.viewAt({"properties", key, "id"});
}

}  // namespace dm::azure
