// formatString: the specifier scanner and substitution. Threads: as in Format.h.
#include "interfaces/text/Format.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace quillon {

namespace {

std::string argumentText(const FormatArg& arg) {
    if (const auto* text = std::get_if<std::string>(&arg)) {
        return *text;
    }
    return std::to_string(std::get<std::int64_t>(arg));
}

}  // namespace

std::string formatString(const std::string& format, const FormatArgs& args) {
    std::string out;
    out.reserve(format.size() + 16);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::size_t position = next;
        bool positional = false;
        std::size_t digitsStart = j;
        while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j]))) {
            ++j;
        }
        if (j > digitsStart && j < format.size() && format[j] == '$') {
            position = std::stoul(format.substr(digitsStart, j - digitsStart)) - 1;
            positional = true;
            ++j;
        } else {
            j = digitsStart;
        }
        while (j < format.size() && (format[j] == 'l' || format[j] == 'q')) {
            ++j;
        }
        if (j < format.size() &&
            (format[j] == '@' || format[j] == 'd' || format[j] == 'i' || format[j] == 'u')) {
            if (position < args.size()) {
                out += argumentText(args[position]);
            }
            if (!positional) {
                ++next;
            }
            i = j;
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace quillon
