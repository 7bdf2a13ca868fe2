#pragma once
// A fresh run context installed for a test's lifetime: what the toolkit services share starts
// empty for every test and is gone after it.

#include "services/context/run_context.hpp"

namespace dm::testing {

struct ScopedRun {
    RunContext run;
    RunScope scope{run};
};

}  // namespace dm::testing
