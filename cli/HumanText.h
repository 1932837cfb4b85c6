// HumanText: how the front end writes values for people: control characters made visible, sizes
// in binary units with matching labels, times in ISO 8601 UTC. JSON output never goes through
// here.
// Threads: pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::cli {

// Control characters (C0, DEL and C1) as "\xHH" escapes, so that a name can neither move the
// cursor nor fake a line; with keepNewlines, "\n" stays as it is. Everything else, invalid
// UTF-8 included, passes byte by byte. Escaping twice changes nothing.
std::string escapedText(std::string_view text, bool keepNewlines = false);

// "0 B", "1023 B", "1.0 KiB", "195.3 KiB", "1.5 MiB", "2.00 GiB": units of 1024.
std::string sizeText(std::int64_t bytes);

// "2026-12-06T12:54:23Z"; "" for none.
std::string timeText(std::optional<double> secondsSince1970);
// A time as the service writes it ("2026-12-06T12:54:23.383Z") in the form above: whole
// seconds. Other text passes unchanged.
std::string timeText(const std::string& serviceTime);

}  // namespace quillon::cli
