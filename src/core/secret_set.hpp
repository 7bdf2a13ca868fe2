#pragma once
// The secret values a run knows (passwords, client secrets, tokens, keys) and the masking of
// every form in which a text may carry one of them.

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dm {

class SecretSet {
  public:
    // Values shorter than this are not kept: masking them would blot out ordinary words.
    static constexpr std::size_t kMinLength = 4;
    static constexpr std::string_view kMask = "***";

    // Keeps `value` (once; adding it again costs a lookup). Safe to call from any thread.
    void add(std::string_view value);
    bool empty() const;

    // `text` with every known value replaced by "***" wherever it appears:
    // - as is, percent-encoded (any characters encoded, hex digits in either case, "+" for a
    //   blank) or JSON-escaped ("\"", "\\", "\/", "\n", "\u00XX"), or a mix of these;
    // - base64-encoded (standard or URL alphabet), alone or inside a longer encoded text such as
    //   the "user:password" of a Basic authorization;
    // - cut short at the end of the text or before "...", as excerpts of long bodies are, once
    //   at least kMinCutLength characters of it are there.
    std::string mask(std::string_view text) const;

    static constexpr std::size_t kMinCutLength = 12;

  private:
    struct Forms {
        std::vector<std::string> values;  // matched in any of their encoded forms
        std::vector<std::string> base64;  // matched literally
        std::array<bool, 256> starts{};   // the bytes at which any form may start
    };
    std::shared_ptr<const Forms> snapshot() const;

    mutable std::mutex mutex_;
    std::shared_ptr<const Forms> forms_ = std::make_shared<Forms>();
};

}  // namespace dm
