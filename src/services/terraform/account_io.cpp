#include "services/terraform/account_io.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/error.hpp"

extern char** environ;

namespace dm::terraform::detail {

namespace {

std::string errnoText(int err) {
    return std::strerror(err);
}

[[noreturn]] void fail(std::string_view action, const fs::path& path, int err) {
    throw Error(fmt::format("cannot {} {}: {}", action, path.string(), errnoText(err)));
}

// Closes the descriptor on scope exit unless released; keeps error paths short.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

void writeAll(int fd, std::string_view bytes, const fs::path& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write", path, errno);
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void fsyncFolder(const fs::path& folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        fail("open folder", folder, errno);
    if (::fsync(fd.get()) != 0)
        fail("sync folder", folder, errno);
}

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// Writes `content` to a new file and syncs it to disk before returning.
void writeDurably(const fs::path& path, std::string_view content, mode_t mode) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        fail("create", path, errno);
    if (::fchmod(fd.get(), mode) != 0)
        fail("set permissions of", path, errno);
    writeAll(fd.get(), content, path);
    if (::fsync(fd.get()) != 0)
        fail("sync", path, errno);
    if (::close(fd.release()) != 0)
        fail("close", path, errno);
}

void keepPrevious(const fs::path& path, const fs::path& previous) {
    if (::unlink(previous.c_str()) != 0 && errno != ENOENT)
        fail("remove", previous, errno);
    if (::link(path.c_str(), previous.c_str()) == 0)
        return;
    // Some file systems have no hard links: fall back to a copy.
    auto bytes = readFileIfExists(path);
    if (bytes)
        writeDurably(previous, *bytes, 0600);
}

}  // namespace

std::optional<std::string> readFileIfExists(const fs::path& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        fail("read", path, errno);
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("read", path, errno);
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
}

std::string readExistingFile(const fs::path& path, std::string_view what) {
    auto bytes = readFileIfExists(path);
    if (!bytes)
        throw Error(fmt::format("{} not found: {}", what, path.string()));
    return std::move(*bytes);
}

void replaceFile(const fs::path& path, std::string_view content, fs::perms newMode,
                 const std::optional<fs::path>& previous) {
    mode_t mode = static_cast<mode_t>(newMode);
    struct stat st {};
    bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed)
        mode = st.st_mode & 07777;

    fs::path temp = path;
    temp += ".tmp";
    try {
        writeDurably(temp, content, mode);
        if (existed && previous)
            keepPrevious(path, *previous);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    renameDurably(temp, path);
}

bool removeFile(const fs::path& path) {
    if (::unlink(path.c_str()) == 0) {
        fsyncFolder(folderOf(path));
        return true;
    }
    if (errno == ENOENT)
        return false;
    fail("remove", path, errno);
}

void renameDurably(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        int err = errno;
        throw Error(
            fmt::format("cannot rename {} to {}: {}", from.string(), to.string(), errnoText(err)));
    }
    fsyncFolder(folderOf(to));
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw Error("SHA-256 digest failed");
    }
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i)
        hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

int runBashScript(const fs::path& folder, const std::string& script,
                  const std::function<void(const std::string&)>& onLine) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        fail("create a pipe for", script, errno);
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

    std::string program = "bash";
    std::string argument = script;
    std::vector<char*> argv{program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, "bash", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        fail("start bash for", script, rc);
    ::close(writeEnd.release());

    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            onLine(pending.substr(start, nl - start));
        }
        pending.erase(0, start);
    }
    if (!pending.empty())
        onLine(pending);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            fail("wait for", script, errno);
    }
    return status;
}

}  // namespace dm::terraform::detail
