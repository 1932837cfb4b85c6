// PercentEncoding: percent-encoding and -decoding of UTF-8 text.
// Threads: stateless; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Percent-encoding of UTF-8 text ("%" and two hexadecimal digits per byte).
class PercentEncoding {
  public:
    PercentEncoding() = delete;

    // Every "%" followed by two hexadecimal digits (either case) becomes that byte. All or
    // nothing: none when any "%" lacks its two digits or the resulting bytes are not UTF-8.
    static std::optional<std::string> removingPercentEncoding(std::string_view text);

    // Every byte of a character outside printable ASCII (U+0020 to U+007E; "%" itself stays)
    // becomes "%" and two upper-case hexadecimal digits. None when the text is not UTF-8.
    static std::optional<std::string> encodingOutsidePrintableASCII(std::string_view text);
};

}  // namespace quillon
