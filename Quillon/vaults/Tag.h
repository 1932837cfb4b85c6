// Tag: one key-value tag of a vault. Threads: a plain value; no shared state.
#pragma once

#include <string>
#include <vector>

#include "foundation/JSON.h"

namespace quillon {

// One key-value tag of a vault.
struct Tag {
    std::string key;
    std::string value;

    // One tag per member of the response's object "Tags", in the object's order; a value that is
    // not a string gives the empty value. No "Tags" object gives no tags.
    static std::vector<Tag> multiple(const JSON& json);

    bool operator==(const Tag&) const = default;
};

}  // namespace quillon
