// GlacierRetrievalTier: tier words both ways. Threads: as in GlacierRetrievalTier.h.
#include "inventory/GlacierRetrievalTier.h"

#include <string>
#include <string_view>

namespace quillon {

std::string description(GlacierRetrievalTier tier) {
    switch (tier) {
        case GlacierRetrievalTier::expedited:
            return "Expedited";
        case GlacierRetrievalTier::bulk:
            return "Bulk";
        case GlacierRetrievalTier::standard:
            break;
    }
    return "Standard";
}

GlacierRetrievalTier glacierRetrievalTierFromString(std::string_view text) {
    if (text == "Expedited") {
        return GlacierRetrievalTier::expedited;
    }
    if (text == "Bulk") {
        return GlacierRetrievalTier::bulk;
    }
    return GlacierRetrievalTier::standard;
}

}  // namespace quillon
