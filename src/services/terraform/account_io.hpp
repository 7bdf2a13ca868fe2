#pragma once
// File primitives of the Terraform service: whole-file reads, crash-safe replacement, hashing
// and running a script. Internal to src/services/terraform.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dm::terraform::detail {

namespace fs = std::filesystem;

// The file's bytes, or nullopt when it does not exist; other failures throw dm::Error naming it.
std::optional<std::string> readFileIfExists(const fs::path& path);

// The file's bytes; a missing file throws dm::Error "<what> not found: <path>".
std::string readExistingFile(const fs::path& path, std::string_view what);

// Replaces `path` with `content`: a temporary file "<path>.tmp" in the same folder is written
// and fsynced, renamed over `path`, and the folder is fsynced. The file keeps its permission
// bits; a new one gets `newMode`. When `previous` is given, the replaced file is kept there
// (as a hard link, or a copy where links are not possible) before the rename.
void replaceFile(const fs::path& path, std::string_view content, fs::perms newMode,
                 const std::optional<fs::path>& previous = std::nullopt);

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
