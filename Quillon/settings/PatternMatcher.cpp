// PatternMatcher: reading the pattern list and matching names. Threads: as in PatternMatcher.h.
#include "settings/PatternMatcher.h"

#include <fnmatch.h>
#include <locale.h>
#include <wctype.h>

#include <cctype>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/platform/UserDefaults.h"
#include "interfaces/text/UnicodeText.h"

namespace quillon {

namespace {

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Lower case by the Unicode simple mappings (C.UTF-8 character classes); ASCII only when that
// locale is missing or the text is not UTF-8.
std::string lowercased(const std::string& text) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    std::string out;
    out.reserve(text.size());
    if (utf8 == static_cast<locale_t>(0) || !UnicodeText::isValidUTF8(text)) {
        for (const char c : text) {
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return out;
    }
    for (const char32_t c : UnicodeText::codePoints(text)) {
        appendUTF8(out, static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8)));
    }
    return out;
}

}  // namespace

PatternMatcher::PatternMatcher(std::string defaultsKey) : defaultsKey_(std::move(defaultsKey)) {}

const std::vector<std::string>& PatternMatcher::skipPatterns() {
    if (!skipPatterns_) {
        std::vector<std::string> patterns;
        const std::string text = UserDefaults::standard()->string(defaultsKey_).value_or("");
        if (!text.empty()) {
            std::size_t start = 0;
            while (true) {
                const auto end = text.find(' ', start);
                patterns.push_back(text.substr(start, end - start));
                if (end == std::string::npos) {
                    break;
                }
                start = end + 1;
            }
        }
        skipPatterns_ = std::move(patterns);
    }
    return *skipPatterns_;
}

bool PatternMatcher::allowedByPattern(const std::string& name) {
    const auto& patterns = skipPatterns();
    if (patterns.empty()) {
        return true;
    }
    const std::string lowered = lowercased(name);
    for (const auto& pattern : patterns) {
        const bool wildcard = pattern.find_first_of("?*") != std::string::npos;
        if (wildcard && fnmatch(pattern.c_str(), lowered.c_str(), 0) == 0) {
            return false;
        }
        if (pattern == name) {
            return false;
        }
    }
    return true;
}

}  // namespace quillon
