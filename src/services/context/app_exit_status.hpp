#pragma once
// AppExitStatus: the toolkit's name for the run's exit status (see ExitStatus).

#include <cstddef>

#include "services/context/run_context.hpp"

namespace dm {

class AppExitStatus {
  public:
    // 1 after markFailed() or a change refused in a dry run; else 2 when an error-level line
    // was logged; else 0.
    int getStatus() const { return run_.exitStatus.status(run_.dryRun); }
    // For start-up failures and a run stopped by an unhandled failure: the status becomes 1.
    void markFailed() { run_.exitStatus.markFailed(); }
    // Error-level (and critical) lines counted so far.
    std::size_t errorCount() const { return run_.exitStatus.errorCount(); }

  private:
    RunContext& run_ = currentRun();
};

}  // namespace dm
