#include "services/terraform/account_io.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/error.hpp"
#include "platform/http/dry_run_guard.hpp"
#include "services/context/run_context.hpp"

extern char** environ;

namespace dm::terraform::detail {

namespace {

void countFsync();
void countRename();

std::string errnoText(int err) {
    return std::strerror(err);
}

[[noreturn]] void fail(std::string_view action, const fs::path& path, int err) {
    throw Error(fmt::format("cannot {} {}: {}", action, path.string(), errnoText(err)));
}

// Closes the descriptor on scope exit unless released; keeps error paths short.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = other.release();
        }
        return *this;
    }
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

int syncFd(int fd) {
    countFsync();
    return ::fsync(fd);
}

void fsyncFolder(const fs::path& folder) {
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        fail("open folder", folder, errno);
    if (syncFd(fd.get()) != 0)
        fail("sync folder", folder, errno);
}

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// Creates (or truncates) `path` with `mode` and writes `content`; the file stays open. The
// descriptor appends, so that later entries of a deferred file can go through it.
Fd writeNew(const fs::path& path, std::string_view content, mode_t mode) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        fail("create", path, errno);
    if (::fchmod(fd.get(), mode) != 0)
        fail("set permissions of", path, errno);
    writeAll(fd.get(), content, path);
    return fd;
}

void closeChecked(Fd& fd, const fs::path& path) {
    if (::close(fd.release()) != 0)
        fail("close", path, errno);
}

// Writes `content` to a new file and syncs it to disk before returning.
void writeDurably(const fs::path& path, std::string_view content, mode_t mode) {
    Fd fd = writeNew(path, content, mode);
    if (syncFd(fd.get()) != 0)
        fail("sync", path, errno);
    closeChecked(fd, path);
}

// The mode a replacement of `path` gets: the current file's, else `newMode`.
mode_t replacementMode(const fs::path& path, fs::perms newMode) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return st.st_mode & 07777;
    return static_cast<mode_t>(newMode);
}

fs::path tempPathOf(const fs::path& path) {
    fs::path temp = path;
    temp += ".tmp";
    return temp;
}

void renameOrRemove(const fs::path& temp, const fs::path& path) {
    countRename();
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        throw Error(fmt::format("cannot rename {} to {}: {}", temp.string(), path.string(),
                                errnoText(err)));
    }
}

// What identifies a version of a file: a file seen later with the same values is taken to hold
// the same bytes.
struct FileState {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {};

    static FileState of(const struct stat& st) {
        return FileState{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    }
    bool isAt(const struct stat& st) const {
        return st.st_dev == dev && st.st_ino == ino && st.st_size == size &&
               st.st_mtim.tv_sec == mtime.tv_sec && st.st_mtim.tv_nsec == mtime.tv_nsec;
    }
};

// A file written by replaceFileDeferred or appendFileDeferred. Until syncPending() its
// descriptor stays open, so that the sync reaches exactly the file written and later appends go
// through it. `content` answers reads while the path still names that file (`state`).
struct WrittenFile {
    Fd fd;
    std::string content;
    FileState state;
    // The whole lines of `content` up to `indexedEnd` (just past a "\n"), for line checks that
    // would otherwise scan a file that grows with the account for every entry added. The views
    // point into `content`: any change other than an append in place starts the index over.
    std::unordered_set<std::string_view> lines;
    size_t indexedEnd = 0;
    const char* indexedBase = nullptr;

    void setContent(std::string text) {
        content = std::move(text);
        forgetLines();
    }
    void appendContent(std::string_view suffix) {
        content.append(suffix);
        if (content.data() != indexedBase)
            forgetLines();
    }
    void forgetLines() {
        lines.clear();
        indexedEnd = 0;
        indexedBase = nullptr;
    }
    bool hasLine(std::string_view line) {
        if (indexedBase != content.data()) {
            forgetLines();
            indexedBase = content.data();
        }
        for (size_t newline; (newline = content.find('\n', indexedEnd)) != std::string::npos;) {
            lines.insert(std::string_view(content).substr(indexedEnd, newline - indexedEnd));
            indexedEnd = newline + 1;
        }
        // The last line may lack its "\n".
        return lines.contains(line) || std::string_view(content).substr(indexedEnd) == line;
    }
};

constexpr std::size_t kKeptAfterSync = 16 * 1024;

// What the run's writer holds. Keyed by the path as written: the files waiting for the sync,
// and after it the large ones, which every batch extends and which would otherwise be read whole
// again for each batch; and the state of each file when it was last read from disk, so that an
// append checks that the file is still the one whose bytes the caller extended.
struct FileStore {
    std::unordered_map<std::string, WrittenFile> written;
    std::vector<std::string> pending;
    std::unordered_map<std::string, FileState> read;
    std::size_t fsyncs = 0;
    std::size_t renames = 0;
    std::recursive_mutex folderMutex;
};

FileStore& store() {
    return currentRun().service<FileStore>();
}

void countFsync() {
    ++store().fsyncs;
}

void countRename() {
    ++store().renames;
}

// The account folder is written only through these functions; a dry run writes nothing, and
// a write that a missed check lets through fails the run instead of changing the folder.
// Every write goes through here: a dry run refuses it; a real run first lets the revert journal
// make what undoes it durable.
void beforeWrite(std::string_view action, const fs::path& path) {
    RunContext& run = currentRun();
    if (!run.dryRun.active()) {
        if (run.beforeChange)
            run.beforeChange();
        return;
    }
    run.dryRun.noteRefused();
    throw http::DryRunRefused(fmt::format("dry run: refused to {} {}", action, path.string()));
}

const WrittenFile* writtenAt(const fs::path& path) {
    FileStore& files = store();
    if (files.written.empty())
        return nullptr;
    auto it = files.written.find(path.string());
    if (it == files.written.end())
        return nullptr;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !it->second.state.isAt(st))
        return nullptr;
    return &it->second;
}

// Records `fd` as the descriptor of the file at `key`, to be synced by syncPending().
void keepPending(const std::string& key, WrittenFile& entry, Fd fd) {
    if (entry.fd.get() < 0)
        store().pending.push_back(key);
    // An earlier descriptor closes here: its file is gone, or is the same file.
    entry.fd = std::move(fd);
}

// Opens `path` for appending when it is still the version `state` describes.
Fd openAppendingAt(const fs::path& path, const FileState& state) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    struct stat st {};
    if (fd.get() >= 0 && (::fstat(fd.get(), &st) != 0 || !state.isAt(st)))
        return Fd();
    return fd;
}

// Appends `suffix` to the file open on `fd`, which holds `oldSize` bytes. On a failure the file
// is cut back to `oldSize`, so that it never keeps part of an entry, and dm::Error names it.
void appendOrCutBack(int fd, std::string_view suffix, off_t oldSize, const fs::path& path) {
    std::string_view rest = suffix;
    while (!rest.empty()) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            if (::ftruncate(fd, oldSize) != 0) {
                int cutErr = errno;
                throw Error(
                    fmt::format("cannot append to {}: {}; cannot cut it back to {} bytes: {}",
                                path.string(), errnoText(err), oldSize, errnoText(cutErr)));
            }
            fail("append to", path, err);
        }
        rest.remove_prefix(static_cast<size_t>(n));
    }
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

std::unique_lock<std::recursive_mutex> lockAccountFolder() {
    return std::unique_lock<std::recursive_mutex>(store().folderMutex);
}

std::optional<std::string_view> viewFileIfExists(const fs::path& path, std::string& storage) {
    FileStore& files = store();
    if (const WrittenFile* written = writtenAt(path))
        return std::string_view(written->content);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        fail("read", path, errno);
    }
    // The state before the read: a change made while reading then shows as a different one.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        fail("read", path, errno);
    // One byte more than the size, so that the end is seen without another read.
    storage.resize(static_cast<size_t>(st.st_size) + 1);
    size_t used = 0;
    for (;;) {
        if (used == storage.size())
            storage.resize(storage.size() * 2);
        ssize_t n = ::read(fd.get(), storage.data() + used, storage.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("read", path, errno);
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    storage.resize(used);
    if (used == static_cast<size_t>(st.st_size))
        files.read[path.string()] = FileState::of(st);
    else
        files.read.erase(path.string());
    return std::string_view(storage);
}

std::optional<std::string> readFileIfExists(const fs::path& path) {
    std::string storage;
    auto view = viewFileIfExists(path, storage);
    if (!view)
        return std::nullopt;
    if (view->data() != storage.data())
        storage.assign(*view);
    return storage;
}

std::string readExistingFile(const fs::path& path, std::string_view what) {
    auto bytes = readFileIfExists(path);
    if (!bytes)
        throw Error(fmt::format("{} not found: {}", what, path.string()));
    return std::move(*bytes);
}

void replaceFile(const fs::path& path, std::string_view content, fs::perms newMode,
                 const std::optional<fs::path>& previous) {
    beforeWrite("write", path);
    syncPending();
    struct stat st {};
    bool existed = ::stat(path.c_str(), &st) == 0;
    mode_t mode = existed ? st.st_mode & 07777 : static_cast<mode_t>(newMode);
    fs::path temp = tempPathOf(path);
    try {
        writeDurably(temp, content, mode);
        if (existed && previous)
            keepPrevious(path, *previous);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    renameOrRemove(temp, path);
    fsyncFolder(folderOf(path));
}

void replaceFileDeferred(const fs::path& path, std::string content, fs::perms newMode) {
    beforeWrite("write", path);
    mode_t mode = replacementMode(path, newMode);
    fs::path temp = tempPathOf(path);
    Fd fd;
    struct stat st {};
    try {
        fd = writeNew(temp, content, mode);
        if (::fstat(fd.get(), &st) != 0)
            fail("inspect", temp, errno);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    renameOrRemove(temp, path);
    std::string key = path.string();
    WrittenFile& entry = store().written[key];
    keepPending(key, entry, std::move(fd));
    entry.setContent(std::move(content));
    entry.state = FileState::of(st);
}

void appendFileDeferred(const fs::path& path, std::string_view read, std::string_view suffix,
                        fs::perms newMode) {
    FileStore& files = store();
    beforeWrite("append to", path);
    const std::string key = path.string();
    const off_t oldSize = static_cast<off_t>(read.size());
    // The file as written here, through its open descriptor or a new one after the sync; else
    // the file as last read from disk.
    auto it = files.written.find(key);
    WrittenFile* written = it != files.written.end() ? &it->second : nullptr;
    bool asWritten = false;
    int out = -1;
    Fd fd;
    if (written && written->state.size == oldSize) {
        if (written->fd.get() >= 0) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && written->state.isAt(st))
                out = written->fd.get();
        } else {
            fd = openAppendingAt(path, written->state);
            out = fd.get();
        }
        asWritten = out >= 0;
    }
    if (out < 0) {
        auto known = files.read.find(key);
        if (known != files.read.end() && known->second.size == oldSize) {
            fd = openAppendingAt(path, known->second);
            out = fd.get();
        }
    }
    std::string whole;
    if (!asWritten) {
        // Built before anything changes: `read` may be the bytes of an entry replaced below.
        whole.reserve(read.size() + suffix.size());
        whole.append(read).append(suffix);
    }
    // A new file, one changed since it was read, or one that cannot be opened for writing:
    // the content is written whole.
    if (out < 0) {
        replaceFileDeferred(path, std::move(whole), newMode);
        return;
    }
    appendOrCutBack(out, suffix, oldSize, path);
    // Pending from here on, so that the sync reaches the entry even if the state is unknown.
    WrittenFile& entry = written ? *written : files.written[key];
    if (fd.get() >= 0)
        keepPending(key, entry, std::move(fd));
    if (asWritten)
        entry.appendContent(suffix);
    else
        entry.setContent(std::move(whole));
    entry.state = FileState{};
    struct stat st {};
    if (::fstat(entry.fd.get(), &st) != 0)
        fail("inspect", path, errno);
    entry.state = FileState::of(st);
}

void syncPending() {
    FileStore& files = store();
    if (files.pending.empty())
        return;
    auto pending = std::move(files.pending);
    files.pending.clear();
    // A failed fsync may already have dropped the dirty pages, so a failure is not retried:
    // every file is tried once and the first failure is reported. A file that failed is no
    // longer answered from memory.
    std::optional<Error> failure;
    std::vector<fs::path> folders;
    for (const auto& path : pending) {
        auto it = files.written.find(path);
        if (it == files.written.end())
            continue;
        WrittenFile& entry = it->second;
        std::optional<std::string> action;
        int err = 0;
        if (syncFd(entry.fd.get()) != 0) {
            action = "sync";
            err = errno;
        }
        if (::close(entry.fd.release()) != 0 && !action) {
            action = "close";
            err = errno;
        }
        if (action && !failure)
            failure.emplace(fmt::format("cannot {} {}: {}", *action, path, errnoText(err)));
        fs::path folder = folderOf(path);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(std::move(folder));
        if (action || entry.content.size() < kKeptAfterSync)
            files.written.erase(it);
    }
    for (const auto& folder : folders) {
        try {
            fsyncFolder(folder);
        } catch (const Error& e) {
            if (!failure)
                failure = e;
        }
    }
    if (failure)
        throw *failure;
}

bool containsLine(const fs::path& path, std::string_view content, std::string_view line) {
    FileStore& files = store();
    if (!files.written.empty()) {
        auto it = files.written.find(path.string());
        if (it != files.written.end() && it->second.content.data() == content.data() &&
            it->second.content.size() == content.size() &&
            line.find('\n') == std::string_view::npos) {
            return it->second.hasLine(line);
        }
    }
    // The generated files grow with the account and the lines sought are long: a skipping
    // search keeps each check cheap.
    const std::boyer_moore_horspool_searcher searcher(line.begin(), line.end());
    for (auto from = content.begin();;) {
        auto found = searcher(from, content.end()).first;
        if (found == content.end())
            return line.empty();
        size_t pos = static_cast<size_t>(found - content.begin());
        bool startsLine = pos == 0 || content[pos - 1] == '\n';
        size_t end = pos + line.size();
        if (startsLine && (end == content.size() || content[end] == '\n'))
            return true;
        from = found + 1;
    }
}

void forgetSyncedFiles() {
    FileStore& files = store();
    std::erase_if(files.written, [](const auto& item) { return item.second.fd.get() < 0; });
    files.read.clear();
}

std::size_t pendingSyncCount() {
    return store().pending.size();
}

std::size_t fsyncCount() {
    return store().fsyncs;
}

std::size_t renameCount() {
    return store().renames;
}

void appendDurably(const fs::path& path, std::string_view bytes, fs::perms newMode) {
    beforeWrite("append to", path);
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                 static_cast<mode_t>(newMode)));
    if (fd.get() < 0)
        fail("open", path, errno);
    writeAll(fd.get(), bytes, path);
    if (syncFd(fd.get()) != 0)
        fail("sync", path, errno);
    closeChecked(fd, path);
    if (!existed)
        fsyncFolder(folderOf(path));
}

bool removeFile(const fs::path& path) {
    FileStore& files = store();
    beforeWrite("remove", path);
    syncPending();
    files.written.erase(path.string());
    files.read.erase(path.string());
    if (::unlink(path.c_str()) == 0) {
        fsyncFolder(folderOf(path));
        return true;
    }
    if (errno == ENOENT)
        return false;
    fail("remove", path, errno);
}

void renameDurably(const fs::path& from, const fs::path& to) {
    beforeWrite("rename", from);
    syncPending();
    countRename();
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
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex(length * 2, '0');
    for (unsigned int i = 0; i < length; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return hex;
}

int runBashScript(const fs::path& folder, const std::string& script,
                  const std::function<void(const std::string&)>& onLine) {
    beforeWrite("run", folder / script);
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
