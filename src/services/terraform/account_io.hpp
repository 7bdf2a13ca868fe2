#pragma once
// File primitives of the Terraform service: whole-file reads, crash-safe replacement (durable at
// once, or with the fsyncs deferred to one sync per batch), appends to files that only grow,
// hashing and running a script. Internal to src/services/terraform. They are the only writer
// of the account folder's Terraform files, scripts and revert record: in a dry run every write,
// removal, rename and script run is refused with http::DryRunRefused and fails the run.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace dm::terraform::detail {

namespace fs = std::filesystem;

// The account folder's lock: VNets in flight at once read and write its files, and the revert
// journal, one at a time. Held across a whole service call, since views of files held in memory
// are valid only until the next write; re-entered by the journal's writes made inside one.
std::unique_lock<std::recursive_mutex> lockAccountFolder();

// The file's bytes, or nullopt when it does not exist; other failures throw dm::Error naming it.
// The file's inode, size and modification time are noted for appendFileDeferred.
std::optional<std::string> readFileIfExists(const fs::path& path);

// Like readFileIfExists, but a file held in memory (see replaceFileDeferred) is lent, not
// copied; a file read from disk goes to `storage`. The view is valid until the next write
// through these functions or the next change to `storage`.
std::optional<std::string_view> viewFileIfExists(const fs::path& path, std::string& storage);

// Whether `content` holds `line` as a whole line (a "\n" or the start or end of `content` on
// either side). When `content` is the view viewFileIfExists gave of a file held in memory, an
// index of the file's lines answers; otherwise `content` is searched.
bool containsLine(const fs::path& path, std::string_view content, std::string_view line);

// The file's bytes; a missing file throws dm::Error "<what> not found: <path>".
std::string readExistingFile(const fs::path& path, std::string_view what);

// The durable operations below (replaceFile, removeFile, renameDurably) first run
// syncPending(), so nothing made durable is ever on disk ahead of a file written before it.

// Replaces `path` with `content`: a temporary file "<path>.tmp" in the same folder is written
// and fsynced, renamed over `path`, and the folder is fsynced. The file keeps its permission
// bits; a new one gets `newMode`. When `previous` is given, the replaced file is kept there
// (as a hard link, or a copy where links are not possible) before the rename. On failure no
// temporary file is left.
void replaceFile(const fs::path& path, std::string_view content, fs::perms newMode,
                 const std::optional<fs::path>& previous = std::nullopt);

// Replaces `path` atomically like replaceFile (temporary file and rename, nothing left behind
// on failure) but leaves the fsyncs to syncPending(): the path is recorded as pending. While
// `path` is still the file written here, reads serve it from memory.
void replaceFileDeferred(const fs::path& path, std::string content, fs::perms newMode);

// Writes `read` followed by `suffix`, where `read` is the file as viewFileIfExists or
// readFileIfExists last gave it. While the file is still that one (same inode, size and
// modification time), only `suffix` is appended, in one write on an O_APPEND descriptor; a new
// file, or one changed since, is replaced whole like replaceFileDeferred. Either way the path
// is pending and reads serve it from memory. A failed append cuts the file back to its old size
// and throws dm::Error naming it.
void appendFileDeferred(const fs::path& path, std::string_view read, std::string_view suffix,
                        fs::perms newMode);

// fsyncs each pending file once, then each of their folders once. Files of 16 KiB and more stay
// in memory for later reads and appends, smaller ones are read from disk again. Every file is
// tried; the first failure then throws dm::Error naming the file or folder, and a file that
// failed is no longer served from memory.
void syncPending();

// Drops what is held in memory for the files not waiting for a sync, for when their folder is
// done with.
void forgetSyncedFiles();

// Test-visible: the files waiting for syncPending(), and the fsync and rename calls made so far.
std::size_t pendingSyncCount();
std::size_t fsyncCount();
std::size_t renameCount();

// Appends `bytes` to `path` (created with `newMode` when absent) in one write and fsyncs it, and
// its folder when the file is new: for a journal whose lines must be on disk before the change
// they prepare. Throws dm::Error naming the file.
void appendDurably(const fs::path& path, std::string_view bytes, fs::perms newMode);

// Removes the file; true when it was there. Failures other than absence throw dm::Error.
bool removeFile(const fs::path& path);

// Renames and fsyncs the folder; throws dm::Error naming both paths.
void renameDurably(const fs::path& from, const fs::path& to);

// Lower-case hex SHA-256 of the bytes.
std::string sha256Hex(std::string_view bytes);

// Runs "bash <script>" with `folder` as working directory and the inherited environment; each
// line the script prints (stdout and stderr) is handed to `onLine`. Returns the raw wait status.
int runBashScript(const fs::path& folder, const std::string& script,
                  const std::function<void(const std::string&)>& onLine);

}  // namespace dm::terraform::detail
