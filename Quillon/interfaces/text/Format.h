// formatString: platform-style format strings ("%@", "%d", positional "%1$@") filled from
// FormatArgs. Threads: a pure function without shared state; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace quillon {

// One argument of a platform-style format string: "%@" takes a text, "%d" (also "%ld",
// "%lld", "%i", "%u", "%lu") takes a number. A number given for "%@" prints its decimal text;
// a text given for "%d" prints as it is. Positional forms such as "%1$@" are understood.
using FormatArg = std::variant<std::string, std::int64_t>;
using FormatArgs = std::vector<FormatArg>;

// Substitutes the arguments in order; "%%" is a percent sign. Missing arguments leave the
// specifier out, surplus ones are ignored; unknown specifiers are copied unchanged.
std::string formatString(const std::string& format, const FormatArgs& args);

}  // namespace quillon
