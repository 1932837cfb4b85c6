// IniFile: parsing INI text such as the AWS credentials file into sections of keys.
// Threads: stateless; any thread.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Error.h"

namespace quillon {

// INI text such as the AWS credentials file: "[section]" lines, "key = value" lines, comment
// lines starting with "#" or ";", blank lines. Keys and values are trimmed of surrounding
// white space; a value is taken as it stands otherwise (a "#" inside it is part of it).
// Keys before the first section belong to the section named "". A repeated key keeps its last
// value; a repeated section adds to the first. Lines that fit no form are skipped.
class IniFile {
  public:
    using Section = std::map<std::string, std::string>;
    using Sections = std::map<std::string, Section>;

    static Sections parse(std::string_view text);
    // Reads and parses a file; none with the error set when it cannot be read. With
    // `maxBytes`, only a regular file of at most that size is read (FileHelpers::readSmallFile).
    static std::optional<Sections> parseFile(const std::string& path, ErrorPtr* error = nullptr,
                                             std::optional<std::size_t> maxBytes = std::nullopt);
};

}  // namespace quillon
