#pragma once
// Typed reads of the discovery document with one-line errors that name the file, the key path
// and what was expected: "<file>: <path>: expected <what>, found <what was there>".

#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/record.hpp"

namespace dm::config {

// How a value reads in an error: "the string \"yes\"", "a list", "null"...
std::string describe(const Record& value);

// The path of a key under `parent` ("a.b" or "b" at the top).
std::string child(const std::string& parent, const std::string& key);
// The path of a list element ("account_info[0]").
std::string element(const std::string& parent, std::size_t index);

// The file that errors name: the run's discovery YAML, or "<discovery YAML>".
std::string fileName();

// The one-line texts of the errors below: "<file>: <path>: missing, expected <what>" and
// "<file>: <path>: expected <what>, found <what was there>".
std::string missingText(const std::string& path, const std::string& expected);
std::string typeText(const std::string& path, const std::string& expected, const Record& found);

[[noreturn]] void failMissing(const std::string& path, const std::string& expected);
[[noreturn]] void failType(const std::string& path, const std::string& expected,
                           const Record& found);

// The value of `key`, or null when `map` lacks it (or is null itself). A `map` that is neither
// a map nor null is a type error at `mapPath`.
const Record* find(const Record& map, const std::string& key, const std::string& mapPath);

// Typed reads; absent or null gives nullopt, any other type is a ConfigError at the path.
std::optional<bool> optBool(const Record& map, const std::string& key, const std::string& mapPath);
std::optional<std::string> optString(const Record& map, const std::string& key,
                                     const std::string& mapPath);

// Required reads: absent (or null) is a ConfigError "missing".
const Record& require(const Record& map, const std::string& key, const std::string& mapPath,
                      const std::string& expected);
std::string requireString(const Record& map, const std::string& key, const std::string& mapPath);
// The value under `key`, null included, for reads after the document was validated; a missing
// key (or a `map` that is no map) is a ConfigError "<file>: missing key '<prefix><key>'".
const Record& requireKey(const Record& map, const std::string& key, const std::string& prefix);

// Checks a value found at `path` against a kind; throws a type error otherwise.
void expectBool(const Record& value, const std::string& path);
void expectString(const Record& value, const std::string& path);
void expectNumber(const Record& value, const std::string& path);
void expectMap(const Record& value, const std::string& path);
void expectList(const Record& value, const std::string& path);
void expectStringList(const Record& value, const std::string& path);

class Problems;

// Rules for the content of a string found at `path`; each adds a problem when it is broken.
// A name holds no control characters.
void checkName(const std::string& value, const std::string& path, Problems& problems);
// A gateway name is a name that is not empty and holds no "/" or "..": it becomes part of the
// account folder's Terraform files.
void checkGatewayName(const std::string& value, const std::string& path, Problems& problems);
// A string holding one CIDR (IPv4 or IPv6, no host bits set).
void checkCidr(const Record& value, const std::string& path, Problems& problems);
// CIDRs separated by ","; blanks around each and empty items are passed over, as the controller
// does.
void checkCidrText(const std::string& value, const std::string& path, Problems& problems);

// Every problem of a document, one line each; what() joins them with line breaks.
class DocumentProblems : public ConfigError {
  public:
    explicit DocumentProblems(std::vector<std::string> lines);
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    std::vector<std::string> lines_;
};

// The problems one pass over a document finds, so that all of them are reported at once.
class Problems {
  public:
    // Runs `check`; a ConfigError it throws becomes a problem (each line of a DocumentProblems
    // one) and the pass goes on. True when it threw none.
    template <class Check>
    bool check(Check&& check) {
        try {
            check();
            return true;
        } catch (const DocumentProblems& e) {
            lines_.insert(lines_.end(), e.lines().begin(), e.lines().end());
        } catch (const ConfigError& e) {
            lines_.emplace_back(e.what());
        }
        return false;
    }
    void missing(const std::string& path, const std::string& expected) {
        lines_.push_back(missingText(path, expected));
    }
    void type(const std::string& path, const std::string& expected, const Record& found) {
        lines_.push_back(typeText(path, expected, found));
    }
    bool empty() const { return lines_.empty(); }
    const std::vector<std::string>& lines() const { return lines_; }
    // Throws DocumentProblems with every line, when there is any.
    void throwIfAny() const;

  private:
    std::vector<std::string> lines_;
};

}  // namespace dm::config
