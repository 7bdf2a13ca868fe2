#include "dm/arm/account_run.hpp"

namespace dm::arm {

void runAccount(RunContext&, AccountContext&) {
    // The account run arrives with the switch and revert pipelines.
}

}  // namespace dm::arm
