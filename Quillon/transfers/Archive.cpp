#include "transfers/Archive.h"

#include "interfaces/PercentEncoding.h"
#include "interfaces/UnicodeText.h"

namespace quillon {

std::optional<std::string> Archive::encodeArchiveDescription(std::string_view text) {
    if (!UnicodeText::isValidUTF8(text)) {
        return std::nullopt;
    }
    return PercentEncoding::encodingOutsidePrintableASCII(
        UnicodeText::trimmingWhitespaceAndNewlines(text));
}

}  // namespace quillon
