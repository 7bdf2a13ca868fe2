#include "services/terraform/account_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "core/error.hpp"
#include "core/text.hpp"
#include "services/context/globals.hpp"

namespace dm {

std::optional<AccountLock> AccountLock::tryAcquire(const std::string& accountFolder,
                                                   std::string& holder) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(accountFolder) / Globals::getRelativeTmpPath();
    const fs::path path = folder / kLockFile;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        throw Error(fmt::format("cannot create {}: {}", folder.string(), ec.message()));
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error(fmt::format("cannot open {}: {}", path.string(), std::strerror(errno)));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        char buffer[512] = {};
        const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
        ::close(fd);
        if (err != EWOULDBLOCK)
            throw Error(fmt::format("cannot lock {}: {}", path.string(), std::strerror(err)));
        std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        holder = text.empty() ? "a run that has not yet said who it is" : text::escapeControl(text);
        return std::nullopt;
    }
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string who = fmt::format(
        "pid {} on host {} since {:%Y-%m-%dT%H:%M:%SZ}\n", ::getpid(), host,
        fmt::gmtime(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now())));
    // Best effort: the lock holds whether or not its holder's name is readable.
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, who.data(), who.size(), 0);
    }
    return AccountLock(fd);
}

AccountLock::~AccountLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace dm
