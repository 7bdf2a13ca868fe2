#pragma once
// State that Common keeps for the process: the discovery document last loaded and its path.

#include <string>

#include "core/record.hpp"

namespace dm {

struct CommonState {
    std::string documentPath;
    Record document;
};

CommonState& commonState();

}  // namespace dm
