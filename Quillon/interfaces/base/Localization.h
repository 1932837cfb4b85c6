// Localization: the library's English texts, looked up by key in the compiled-in table.
// Threads: any thread; the table is parsed once (a function-local static) and only read after.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "interfaces/text/Format.h"

namespace quillon::resources {
// The text of Localizable.strings, compiled into the library.
std::string_view localizableTable();
}  // namespace quillon::resources

namespace quillon {

// The library's English texts, looked up by key in its own table.
class Localization {
  public:
    using Table = std::map<std::string, std::string, std::less<>>;

    // The text of the key, or the key itself when the table has no such entry.
    static std::string string(std::string_view key);

    // The text of the key used as a format string ("%@" text, "%d" number). When the first
    // number among the arguments is 1 and the table holds key + ".one", that singular text is
    // used instead, so "1 vault" need not read "1 vaults".
    static std::string format(std::string_view key, const FormatArgs& args);

    static bool contains(std::string_view key);

    // The parsed table of the library (parsed once, on first use).
    static const Table& table();

    // Reads "key" = "text"; lines with /* */ and // comments and the escapes \" \\ \n \t.
    // Malformed lines are skipped up to their next semicolon.
    static Table parse(std::string_view text);
};

}  // namespace quillon
