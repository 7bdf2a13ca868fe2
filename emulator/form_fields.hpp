#pragma once
// Form fields that a rule (a fault, a fixed controller answer) asks a request to carry.

#include <algorithm>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace dm::emu {

using FormFields = std::map<std::string, std::string>;

// The rule's "fields" map (none: empty); `fail(message)` is called, and must throw, when it is
// no map of texts.
template <class Fail>
FormFields readFormFields(const nlohmann::json& rule, Fail fail) {
    FormFields out;
    if (!rule.contains("fields"))
        return out;
    const nlohmann::json& fields = rule["fields"];
    if (!fields.is_object())
        fail("\"fields\" must be a map of form field names to texts");
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (!it.value().is_string())
            fail("\"fields\": \"" + it.key() + "\" must be a text");
        out[it.key()] = it.value().get<std::string>();
    }
    return out;
}

// Whether `form` carries every field of `wanted` with its value.
inline bool carriesFields(const FormFields& form, const FormFields& wanted) {
    return std::all_of(wanted.begin(), wanted.end(), [&form](const auto& field) {
        auto it = form.find(field.first);
        return it != form.end() && it->second == field.second;
    });
}

}  // namespace dm::emu
