// PercentEncoding: all-or-nothing decoding and encoding outside printable ASCII. Threads:
// stateless; any thread.
#include "interfaces/text/PercentEncoding.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "interfaces/text/UnicodeText.h"

namespace quillon {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::optional<std::string> PercentEncoding::removingPercentEncoding(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!UnicodeText::isValidUTF8(out)) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> PercentEncoding::encodingOutsidePrintableASCII(std::string_view text) {
    if (!UnicodeText::isValidUTF8(text)) {
        return std::nullopt;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace quillon
