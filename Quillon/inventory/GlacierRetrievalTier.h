// GlacierRetrievalTier: a retrieval job's tier and its service words.
// Threads: no shared state; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// How fast (and at what price) the service prepares a retrieval job's output.
enum class GlacierRetrievalTier { standard, expedited, bulk };

// "Standard", "Expedited" or "Bulk".
std::string description(GlacierRetrievalTier tier);
// "Expedited" and "Bulk" (exactly) give their tier; any other text gives standard.
GlacierRetrievalTier glacierRetrievalTierFromString(std::string_view text);

}  // namespace quillon
