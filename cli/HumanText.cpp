// HumanText: escaped text, binary sizes and ISO 8601 times. Threads: pure; any thread.

#include "HumanText.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Support.h"

namespace quillon::cli {

std::string escapedText(std::string_view text, bool keepNewlines) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string result;
    result.reserve(text.size());
    auto hex = [&](unsigned char c) {
        result += "\\x";
        result += kDigits[c >> 4];
        result += kDigits[c & 0x0f];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' && keepNewlines) {
            result += '\n';
        } else if (c < 0x20 || c == 0x7f) {
            hex(c);
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // A C1 control character such as U+009B, which some terminals take for ESC [.
            hex(c);
            hex(static_cast<unsigned char>(text[++i]));
        } else {
            result += static_cast<char>(c);
        }
    }
    return result;
}

std::string sizeText(std::int64_t bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    const bool negative = bytes < 0;
    const double magnitude = std::fabs(static_cast<double>(bytes));
    if (magnitude < 1024) {
        return std::to_string(bytes) + " B";
    }
    double value = magnitude;
    int unit = -1;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, unit >= 2 ? "%.2f %s" : "%.1f %s", value, kUnits[unit]);
    return (negative ? "-" : "") + std::string(buffer);
}

std::string timeText(std::optional<double> secondsSince1970) {
    return secondsSince1970 ? iso8601Format(*secondsSince1970) : "";
}

std::string timeText(const std::string& serviceTime) {
    const std::size_t dot = serviceTime.find('.');
    if (serviceTime.size() < 20 || dot != 19 || serviceTime.back() != 'Z' ||
        serviceTime[10] != 'T') {
        return serviceTime;
    }
    return serviceTime.substr(0, dot) + "Z";
}

}  // namespace quillon::cli
