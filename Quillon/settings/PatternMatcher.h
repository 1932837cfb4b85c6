// PatternMatcher: the skip patterns that keep a file name from being uploaded.
// Threads: not thread-safe (the list is cached on first use, unguarded); one owner.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon {

// Decides from a blank-separated pattern list kept in the standard user defaults whether a
// file name may be uploaded. The list is read once, on first use.
class PatternMatcher {
  public:
    explicit PatternMatcher(std::string defaultsKey);

    const std::string& defaultsKey() const { return defaultsKey_; }
    // The stored text split at every single blank (empty pieces kept); empty when the key is
    // absent or empty.
    const std::vector<std::string>& skipPatterns();

    // False when a wildcard pattern ("*" or "?") matches the lower-cased name, or any pattern
    // equals the name exactly.
    bool allowedByPattern(const std::string& name);

  private:
    std::string defaultsKey_;
    std::optional<std::vector<std::string>> skipPatterns_;
};

}  // namespace quillon
