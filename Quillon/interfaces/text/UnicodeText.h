// UnicodeText: UTF-8 checks, code points and white-space trimming by the platform string rules.
// Threads: stateless; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Text checks and edits on UTF-8 byte strings, with the platform string type's rules.
class UnicodeText {
  public:
    UnicodeText() = delete;

    // Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
    static bool isValidUTF8(std::string_view text);

    // The code points of well-formed UTF-8 text; each ill-formed byte reads as U+FFFD.
    static std::vector<char32_t> codePoints(std::string_view text);

    // Whether the code point is in the platform's white-space-and-newline set (the Unicode
    // White_Space property: tab to carriage return, blank, U+0085, no-break spaces, the
    // U+2000 block of spaces, line and paragraph separators, ideographic space...).
    static bool isWhitespaceOrNewline(char32_t codePoint);

    // The text without white space and line breaks at either end. Bytes that are not valid
    // UTF-8 count as ordinary characters and stop the trimming.
    static std::string trimmingWhitespaceAndNewlines(std::string_view text);
};

}  // namespace quillon
