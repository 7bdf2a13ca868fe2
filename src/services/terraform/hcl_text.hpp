#pragma once
// Text helpers for the generated Terraform files and shell scripts. Internal to
// src/services/terraform.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace dm::terraform::detail {

// A double-quoted HCL string literal: escapes \, ", control characters and template openers.
std::string hclQuote(std::string_view text);

// A single-quoted shell word that bash reads back as exactly `text`.
std::string shellQuote(std::string_view text);

// True for an HCL identifier: a letter or "_" followed by letters, digits, "_" or "-".
bool isHclIdentifier(std::string_view text);

// An HCL identifier made from `text`: other characters become "_", and "_" is put in front
// when it would not start with a letter or "_".
std::string toHclIdentifier(std::string_view text);

// Where the value of a "switch_traffic = true|false" attribute line sits in a Terraform file
// (the value may be followed by a comment or by the "}" that closes the block); lines inside
// comments do not count.
struct SwitchAttribute {
    size_t valueBegin;
    size_t valueEnd;
    bool value;
};
std::optional<SwitchAttribute> findSwitchAttribute(std::string_view content);

// The offset of the "}" that closes the top-level block `module "<name>" {`, or nullopt.
std::optional<size_t> findModuleBlockEnd(std::string_view content, std::string_view name);

}  // namespace dm::terraform::detail
