#pragma once
// The request log: one entry per request the emulator answered (admin requests aside), kept in a
// ring of the last N so that long benches do not grow memory. Secrets never enter it: form and
// query fields that carry one, and the Authorization header, are masked before storing.

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "emulator.hpp"

namespace dm::emu {

// What the server knows of one answered request.
struct RequestRecord {
    std::string kind;  // the counter kind: arm_read, arm_write, token, controller...
    std::string method;
    std::string path;  // decoded, as sent
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> form;  // form-encoded bodies: token, controller
    std::string authorization;                // the header as sent; empty when absent
    std::optional<int> status;                // none: the connection was closed unanswered
    int faultId = 0;                          // the fault rule that fired, 0 for none
};

class RequestLog {
  public:
    explicit RequestLog(std::size_t capacity) : capacity_(capacity) {}

    void record(const RequestRecord& request);
    // {"capacity", "dropped", "requests": [...]}, oldest first; "dropped" counts the entries the
    // ring let go since the last clear. Sequence numbers go on across clears.
    Json toJson() const;
    void clear();
    std::size_t capacity() const { return capacity_; }
    // Shrinking drops the oldest entries; 0 stops logging.
    void setCapacity(std::size_t capacity);

    // "***" for the value of a field whose name says it holds a secret; the value otherwise.
    static std::string maskField(const std::string& name, const std::string& value);
    // The scheme of an Authorization header with its credentials replaced by "***".
    static std::string maskAuthorization(const std::string& header);

  private:
    void trim();

    std::size_t capacity_;
    std::deque<Json> entries_;
    long seq_ = 0;
    long dropped_ = 0;
};

}  // namespace dm::emu
