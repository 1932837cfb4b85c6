// IniFile: the line parser and the file reader. Threads: stateless; any thread.
#include "interfaces/files/IniFile.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"

namespace quillon {

namespace {

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

}  // namespace

IniFile::Sections IniFile::parse(std::string_view text) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    Sections sections;
    std::string current;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line =
            trimmed(text.substr(0, end == std::string_view::npos ? text.size() : end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const auto close = line.find(']');
            if (close != std::string_view::npos) {
                current = std::string(trimmed(line.substr(1, close - 1)));
                sections[current];
            }
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        if (key.empty()) {
            continue;
        }
        sections[current][std::string(key)] = std::string(trimmed(line.substr(equals + 1)));
    }
    return sections;
}

std::optional<IniFile::Sections> IniFile::parseFile(const std::string& path, ErrorPtr* error,
                                                    std::optional<std::size_t> maxBytes) {
    const auto text = maxBytes ? FileHelpers::readSmallFile(path, *maxBytes, error)
                               : FileHelpers::readFile(path, error);
    if (!text) {
        return std::nullopt;
    }
    return parse(*text);
}

}  // namespace quillon
