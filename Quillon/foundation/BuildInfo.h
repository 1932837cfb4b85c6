// BuildInfo: the build number compiled into the library and the schema version read from one.
// Threads: no shared state; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillon {

// The application's build number (what an application bundle keeps as "CFBundleVersion")
// and the database schema version derived from it.
class BuildInfo {
  public:
    // The build number compiled into the library, e.g. "1.0.100".
    static std::string bundleVersion();

    // The schema version for a build-number text: its last dot-separated component read as a
    // decimal number ("2.5.77" -> 77, "2.5" -> 5, "12" -> 12). Missing, empty or non-numeric
    // texts give 1.
    static std::uint32_t schemaVersion(const std::optional<std::string>& text);
};

}  // namespace quillon
