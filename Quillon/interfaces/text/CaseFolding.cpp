// CaseFolding: ICU's u_strFoldCase over UTF-16, with an ASCII path that needs no conversion.
// Threads: stateless; any thread.
#include "interfaces/text/CaseFolding.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

std::string CaseFolding::fold(std::string_view text) {
    bool ascii = true;
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        std::string folded(text);
        for (char& c : folded) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return folded;
    }
    const auto length = static_cast<std::int32_t>(text.size());
    UErrorCode status = U_ZERO_ERROR;
    std::vector<UChar> wide(text.size() + 1);
    std::int32_t wideLength = 0;
    u_strFromUTF8(wide.data(), static_cast<std::int32_t>(wide.size()), &wideLength, text.data(),
                  length, &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    // Folding can lengthen a text (ß to ss), at most threefold.
    std::vector<UChar> folded(static_cast<std::size_t>(wideLength) * 3 + 1);
    const std::int32_t foldedLength =
        u_strFoldCase(folded.data(), static_cast<std::int32_t>(folded.size()), wide.data(),
                      wideLength, U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    std::string out(static_cast<std::size_t>(foldedLength) * 3 + 1, '\0');
    std::int32_t outLength = 0;
    u_strToUTF8(out.data(), static_cast<std::int32_t>(out.size()), &outLength, folded.data(),
                foldedLength, &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    out.resize(static_cast<std::size_t>(outLength));
    return out;
}

}  // namespace quillon
