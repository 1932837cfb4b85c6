#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// One entry of a vault's local archive journal. For now only the description encoding lives
// here; the journal entry itself (fields, append, appendToDB) follows with the archive
// operations.
class Archive {
  public:
    // The description under which a path is uploaded: outer white space and line breaks
    // trimmed, then every byte of a character outside printable ASCII written as "%XX"
    // (upper-case hex). Blanks and "%" inside stay as they are, so "a%41" is kept verbatim
    // (and decodes to "aA"). None when the text is not valid UTF-8.
    static std::optional<std::string> encodeArchiveDescription(std::string_view text);
};

}  // namespace quillon
