// Base64: standard base64 encoding and strict decoding. Threads: stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

using Bytes = std::vector<std::uint8_t>;

// Standard base64 (RFC 4648 alphabet, "=" padding).
class Base64 {
  public:
    static std::string encode(const Bytes& bytes);
    static std::string encode(std::string_view bytes);
    // None when the text is not base64: a foreign character, a bad length or bad padding.
    // White space is not accepted.
    static std::optional<Bytes> decode(std::string_view text);
};

}  // namespace quillon
