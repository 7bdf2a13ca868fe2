#pragma once
// One run per account: an exclusive lock on <account folder>/tmp/account.lock, held with flock so
// that the system releases it when the process ends, however it ends. The file names its holder
// (pid, host, start time) for the run that is refused.

#include <optional>
#include <string>
#include <utility>

namespace dm {

class AccountLock {
  public:
    static constexpr const char* kLockFile = "account.lock";

    // Takes the lock of the account folder without waiting. When another process holds it,
    // returns nullopt and puts the holder's description in `holder` ("pid 12 on host h since
    // 2026-12-09T08:00:00Z"). Throws dm::Error naming the file when it cannot be opened.
    static std::optional<AccountLock> tryAcquire(const std::string& accountFolder,
                                                 std::string& holder);

    AccountLock(AccountLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    AccountLock& operator=(AccountLock&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    AccountLock(const AccountLock&) = delete;
    ~AccountLock();

  private:
    explicit AccountLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace dm
