// Loading the discovery YAML under the YAML 1.2 core schema. Its checks are in document_check.cpp.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "core/error.hpp"
#include "core/ip_network.hpp"
#include "core/text.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/common/options_table.hpp"
#include "services/context/run_context.hpp"

namespace dm {

namespace {

constexpr const char* kTagPrefix = "tag:yaml.org,2002:";

// yaml-cpp shares an aliased node rather than copying it, so a few lines can stand for a graph
// that is cyclic (an alias inside the node it names) or whose expansion is astronomical (each
// level a list of aliases of the one below); the record copies every use. A real discovery
// document has some ten nodes per VNet and nests seven levels deep: these limits leave room for
// tens of thousands of VNets, while the most that aliases can make of a few lines converts in a
// fraction of a second and about a hundred megabytes.
constexpr std::size_t kMaxNodes = 1'000'000;
constexpr std::size_t kMaxDepth = 100;

std::string at(const std::string& path, const YAML::Mark& mark) {
    if (mark.is_null())
        return path;
    return path + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1);
}

Record parseInteger(std::string_view text, int base) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (base != 10)
        digits.remove_prefix(2);  // "0x" / "0o"
    uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (ec == std::errc() && end == digits.data() + digits.size()) {
        if (!negative) {
            if (magnitude <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                return static_cast<int64_t>(magnitude);
            }
            return magnitude;
        }
        if (magnitude <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) {
            return static_cast<int64_t>(0 - magnitude);
        }
    }
    // Too large for 64 bits: keep the value as a float rather than lose it silently.
    double value = 0;
    for (char c : digits)
        value = value * base + (std::isdigit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
    return negative ? -value : value;
}

Record parseFloat(const std::string& text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == ".nan")
        return std::numeric_limits<double>::quiet_NaN();
    if (lower == ".inf" || lower == "+.inf")
        return std::numeric_limits<double>::infinity();
    if (lower == "-.inf")
        return -std::numeric_limits<double>::infinity();
    return std::strtod(text.c_str(), nullptr);
}

bool isDigit(char c, int base) {
    if (base == 8)
        return c >= '0' && c <= '7';
    if (base == 16)
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    return c >= '0' && c <= '9';
}

// Consumes digits of `base` from `pos`; returns how many.
std::size_t digits(std::string_view s, std::size_t& pos, int base) {
    std::size_t start = pos;
    while (pos < s.size() && isDigit(s[pos], base))
        ++pos;
    return pos - start;
}

bool isInteger(std::string_view s, int base) {
    std::size_t pos = 0;
    if (base == 10) {
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
            ++pos;
    } else {
        if (s.size() < 2 || s[0] != '0' || s[1] != (base == 8 ? 'o' : 'x'))
            return false;
        pos = 2;
    }
    return digits(s, pos, base) > 0 && pos == s.size();
}

// [-+]? ( \.[0-9]+ | [0-9]+ ( \.[0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
bool isDecimalFloat(std::string_view s) {
    std::size_t pos = 0;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
        ++pos;
    std::size_t whole = digits(s, pos, 10);
    std::size_t fraction = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        fraction = digits(s, pos, 10);
        if (whole == 0 && fraction == 0)
            return false;
    } else if (whole == 0) {
        return false;
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
        ++pos;
        if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
            ++pos;
        if (digits(s, pos, 10) == 0)
            return false;
    }
    return pos == s.size();
}

bool oneOf(std::string_view s, std::initializer_list<std::string_view> options) {
    for (auto o : options) {
        if (s == o)
            return true;
    }
    return false;
}

// The core schema's resolution of a plain scalar; nullopt when it is a plain string.
std::optional<Record> resolvePlain(const std::string& s) {
    if (s.empty() || oneOf(s, {"~", "null", "Null", "NULL"}))
        return Record(nullptr);
    if (oneOf(s, {"true", "True", "TRUE"}))
        return Record(true);
    if (oneOf(s, {"false", "False", "FALSE"}))
        return Record(false);
    if (isInteger(s, 10))
        return parseInteger(s, 10);
    if (isInteger(s, 8))
        return parseInteger(s, 8);
    if (isInteger(s, 16))
        return parseInteger(s, 16);
    std::string_view unsigned_ = s;
    if (s[0] == '+' || s[0] == '-')
        unsigned_.remove_prefix(1);
    if (isDecimalFloat(s) || oneOf(unsigned_, {".inf", ".Inf", ".INF"}) ||
        oneOf(s, {".nan", ".NaN", ".NAN"})) {
        return parseFloat(s);
    }
    return std::nullopt;
}

Record scalarToRecord(const YAML::Node& node, const std::string& file) {
    const std::string& tag = node.Tag();
    const std::string& value = node.Scalar();
    // yaml-cpp tags plain scalars "?" and quoted or block scalars "!".
    if (tag == "?") {
        auto resolved = resolvePlain(value);
        return resolved ? *resolved : Record(value);
    }
    if (tag.rfind(kTagPrefix, 0) == 0 && tag != std::string(kTagPrefix) + "str") {
        std::string kind = tag.substr(std::strlen(kTagPrefix));
        auto resolved = resolvePlain(value);
        bool fits = resolved && ((kind == "null" && resolved->is_null()) ||
                                 (kind == "bool" && resolved->is_boolean()) ||
                                 (kind == "int" && resolved->is_number_integer()) ||
                                 (kind == "float" && resolved->is_number()));
        if (kind == "float" && fits)
            return resolved->get<double>();
        if (fits)
            return *resolved;
        throw ConfigError(at(file, node.Mark()) + ": \"" + value + "\" is not a valid !!" + kind);
    }
    return value;
}

// Walks the parser's events before any node is built and refuses a stream that the conversion
// could not finish: an alias inside the node it names, more than kMaxNodes nodes once every
// alias is expanded, nesting deeper than kMaxDepth (through aliases too), a second document.
// What it lets through converts with bounded recursion, time and memory.
class ShapeGuard : public YAML::EventHandler {
  public:
    explicit ShapeGuard(const std::string& file) : file_(file) {}

    void OnDocumentStart(const YAML::Mark& mark) override {
        if (++documents_ > 1)
            fail(mark, "a second document starts here; the file must hold one document");
    }
    void OnDocumentEnd() override {}

    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { leaf(mark, anchor, ""); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  const std::string& value) override {
        leaf(mark, anchor, value);
    }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        // The parser refuses an unknown anchor before it reports the alias.
        const Anchor& target = anchors_[anchor];
        if (target.open) {
            fail(mark,
                 "recursive alias *" + target.name + ": it refers to a node that contains it");
        }
        count(mark, target.nodes);
        reach(mark, stack_.size() + target.levels);
        completed(target.text);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        open(mark, anchor, false);
    }
    void OnSequenceEnd() override { close(); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
        open(mark, anchor, true);
    }
    void OnMapEnd() override { close(); }
    void OnAnchor(const YAML::Mark&, const std::string& name) override { anchorName_ = name; }

  private:
    // What an alias of the anchor adds: its nodes, and the nesting levels it spans.
    struct Anchor {
        std::string name;
        bool open = false;  // still being read: an alias now would sit inside it
        std::size_t nodes = 1;
        std::size_t levels = 0;
        std::string text;  // a scalar's text, for the key path when the alias is a key
    };
    struct Frame {
        bool map = false;
        bool atKey = true;  // a map's next node is a key
        std::string key;
        std::size_t index = 0;
        YAML::anchor_t anchor = YAML::NullAnchor;
        std::size_t nodesBefore = 0;
        std::size_t deepest = 0;  // the deepest level reached inside
    };

    // The key path of the node that comes next (a key is reported at its map), made only for an
    // error.
    std::string nextPath() const {
        std::string path;
        for (const Frame& frame : stack_) {
            if (!frame.map) {
                path = config::element(path, frame.index);
            } else if (!frame.atKey) {
                path = config::child(path, frame.key);
            }
        }
        return path;
    }

    [[noreturn]] void fail(const YAML::Mark& mark, const std::string& what) const {
        const std::string path = nextPath();
        throw ConfigError(at(file_, mark) + ": " + (path.empty() ? "" : path + ": ") + what);
    }

    void count(const YAML::Mark& mark, std::size_t nodes) {
        if (nodes > kMaxNodes - nodes_) {
            fail(mark,
                 "more than " + std::to_string(kMaxNodes) + " nodes once aliases are expanded");
        }
        nodes_ += nodes;
    }

    void reach(const YAML::Mark& mark, std::size_t level) {
        if (level > kMaxDepth)
            fail(mark, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
        if (!stack_.empty())
            stack_.back().deepest = std::max(stack_.back().deepest, level);
    }

    // A node of the current collection is complete.
    void completed(const std::string& text) {
        if (stack_.empty())
            return;
        Frame& top = stack_.back();
        if (!top.map) {
            ++top.index;
        } else {
            if (top.atKey)
                top.key = text;
            top.atKey = !top.atKey;
        }
    }

    void leaf(const YAML::Mark& mark, YAML::anchor_t anchor, const std::string& text) {
        count(mark, 1);
        if (anchor != YAML::NullAnchor)
            anchors_[anchor] = {anchorName_, false, 1, 0, text};
        completed(text);
    }

    void open(const YAML::Mark& mark, YAML::anchor_t anchor, bool map) {
        count(mark, 1);
        const std::size_t level = stack_.size() + 1;
        reach(mark, level);
        if (anchor != YAML::NullAnchor)
            anchors_[anchor] = {anchorName_, true, 1, 0, ""};
        stack_.push_back({map, true, "", 0, anchor, nodes_ - 1, level});
    }

    void close() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        if (frame.anchor != YAML::NullAnchor) {
            Anchor& anchor = anchors_[frame.anchor];
            anchor.open = false;
            anchor.nodes = nodes_ - frame.nodesBefore;
            anchor.levels = frame.deepest - stack_.size();
        }
        if (!stack_.empty())
            stack_.back().deepest = std::max(stack_.back().deepest, frame.deepest);
        completed("");
    }

    const std::string file_;
    int documents_ = 0;
    std::size_t nodes_ = 0;
    std::string anchorName_;
    std::vector<Frame> stack_;
    std::unordered_map<YAML::anchor_t, Anchor> anchors_;
};

// The file's bytes. Only a regular file is read: a folder, a FIFO or a device could block or
// never end; O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
std::string readRegularFile(const std::string& path) {
    auto failure = [&](const std::string& what) {
        return ConfigError(path + ": cannot read YAML file: " + what);
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw failure(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        throw failure(std::strerror(errno));
    if (S_ISDIR(info.st_mode))
        throw failure(std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode))
        throw failure("not a regular file");
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            return text;
        if (got < 0 && errno != EINTR)
            throw failure(std::strerror(errno));
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
    }
}

// Recursion depth is bounded by kMaxDepth: ShapeGuard has checked the document first.
Record toRecord(const YAML::Node& node, const std::string& file) {
    switch (node.Type()) {
        case YAML::NodeType::Null:
        case YAML::NodeType::Undefined:
            return nullptr;
        case YAML::NodeType::Scalar:
            return scalarToRecord(node, file);
        case YAML::NodeType::Sequence: {
            Record list = Record::array();
            for (const auto& item : node)
                list.push_back(toRecord(item, file));
            return list;
        }
        case YAML::NodeType::Map: {
            Record map = Record::object();
            for (const auto& entry : node) {
                if (!entry.first.IsScalar() && !entry.first.IsNull()) {
                    throw ConfigError(at(file, entry.first.Mark()) + ": map keys must be scalars");
                }
                std::string key = entry.first.IsNull() ? "" : entry.first.Scalar();
                if (map.contains(key)) {
                    throw ConfigError(at(file, entry.first.Mark()) + ": duplicate key \"" + key +
                                      "\"");
                }
                map[key] = toRecord(entry.second, file);
            }
            return map;
        }
    }
    return nullptr;
}

}  // namespace

Record Common::convert_yaml_to_json(const std::string& path) {
    const std::string text = readRegularFile(path);
    YAML::Node root;
    try {
        std::istringstream events(text);
        YAML::Parser parser(events);
        ShapeGuard guard(path);
        while (parser.HandleNextDocument(guard)) {
        }
        root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
        throw ConfigError(at(path, e.mark) + ": malformed YAML: " + e.msg);
    }
    RunContext& run = currentRun();
    run.inputPath = path;
    run.document = toRecord(root, path);
    return run.document;
}

const Record& Common::document() {
    return currentRun().document;
}

void Common::expectYamlType(const Record& doc, const std::string& type) {
    const Record* found = doc.is_object() ? config::find(doc, "document_type", "") : nullptr;
    if (!found) {
        throw ConfigError(config::fileName() + ": document_type: expected \"" + type +
                          "\", found none");
    }
    if (!found->is_string() || found->get<std::string>() != type) {
        throw ConfigError(config::fileName() + ": document_type: expected \"" + type +
                          "\", found " +
                          (found->is_string() ? "\"" + found->get<std::string>() + "\""
                                              : config::describe(*found)));
    }
    validateDocument(doc);
}

}  // namespace dm
