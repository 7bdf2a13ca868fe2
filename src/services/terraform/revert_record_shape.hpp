#pragma once
// The shape of a stored revert record (docs/revert-record.md), checked before a revert relies on
// it: a record that is valid JSON but of another shape would otherwise restore nothing from the
// parts it cannot read, and say nothing about it.

#include <string>

#include "core/record.hpp"

namespace dm {

// Throws dm::Error at the first part of `record` that is not of the revert record's shape, with
// one line "<file>: <key path>: expected <what>, found <what was found>", the key path written
// like `peerings["sub:vnet"][0].localPeering`. Keys beyond those the record needs are allowed.
void requireRevertRecordShape(const Record& record, const std::string& file);

}  // namespace dm
