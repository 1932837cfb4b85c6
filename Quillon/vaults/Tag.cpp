// Tag: tags read from a service response. Threads: as in Tag.h.
#include "vaults/Tag.h"

#include <string>
#include <vector>

#include "foundation/JSON.h"

namespace quillon {

std::vector<Tag> Tag::multiple(const JSON& json) {
    std::vector<Tag> tags;
    JSON member = json["Tags"];
    const JSON::Value& object = member.value();
    if (!object.is_object()) {
        return tags;
    }
    for (const auto& [key, value] : object.items()) {
        tags.push_back(Tag{key, value.is_string() ? value.get<std::string>() : std::string()});
    }
    return tags;
}

}  // namespace quillon
