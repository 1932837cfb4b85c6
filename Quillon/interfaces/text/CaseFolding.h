// CaseFolding: Unicode case folding of UTF-8 text through ICU, for searches that ignore case.
// Threads: stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Full Unicode case folding (ICU's default, not the Turkic one) of UTF-8 text: two texts
// that differ only in letter case fold to the same bytes ("Café" and "CAFÉ" to "café",
// "Straße" to "strasse"). Folding maps each character on its own, so a text that contains
// another still does after both are folded. Bytes that are not UTF-8 stay as they are.
class CaseFolding {
  public:
    CaseFolding() = delete;

    static std::string fold(std::string_view text);
};

}  // namespace quillon
