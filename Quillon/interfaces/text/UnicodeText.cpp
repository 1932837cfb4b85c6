// UnicodeText: the strict UTF-8 decoder behind the checks and the trimming. Threads: stateless;
// any thread.
#include "interfaces/text/UnicodeText.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

// The well-formed character starting at `pos`, or none.
std::optional<Decoded> decodeAt(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(pos);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (pos + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{value, length};
}

}  // namespace

bool UnicodeText::isValidUTF8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const auto decoded = decodeAt(text, pos);
        if (!decoded) {
            return false;
        }
        pos += decoded->length;
    }
    return true;
}

std::vector<char32_t> UnicodeText::codePoints(std::string_view text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const auto decoded = decodeAt(text, pos);
        out.push_back(decoded ? decoded->codePoint : char32_t{0xFFFD});
        pos += decoded ? decoded->length : 1;
    }
    return out;
}

bool UnicodeText::isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string UnicodeText::trimmingWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto decoded = decodeAt(text, begin);
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
            break;
        }
        begin += decoded->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the lead byte of the last character (at most four bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto decoded = decodeAt(text, start);
        if (!decoded || start + decoded->length != end ||
            !isWhitespaceOrNewline(decoded->codePoint)) {
            break;
        }
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

}  // namespace quillon
