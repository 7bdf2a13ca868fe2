#pragma once
// AppExitStatus: the process exit status, decided by what the run logged.

#include <cstddef>
#include <memory>

#include <spdlog/sinks/sink.h>

namespace dm {

class AppExitStatus {
  public:
    // Every object shares the one status of the process.
    AppExitStatus() = default;

    // 1 after markFailed(); else 2 when an error-level line was logged; else 0.
    int getStatus() const;

    // For start-up failures and a run stopped by an unhandled failure: the status becomes 1.
    void markFailed();

    // Error-level (and critical) lines counted so far.
    std::size_t errorCount() const;

    // The counting sink that applyLoggingConfig attaches to every logger; one per process.
    static std::shared_ptr<spdlog::sinks::sink> sink();

    // Back to a clean status; for tests that run several start-ups in one process.
    static void reset();
};

}  // namespace dm
