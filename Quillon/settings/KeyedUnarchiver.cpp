// KeyedUnarchiver: parsing an archive and its typed readers. Threads: as in KeyedUnarchiver.h.
#include "settings/KeyedUnarchiver.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "settings/KeyedArchiver.h"
#include "settings/KeyedCoding.h"

namespace quillon {

std::shared_ptr<KeyedCoding> KeyedUnarchiver::unarchive(const Bytes& data,
                                                        const ClassTable& classes) {
    const auto document =
        JSON::tryParse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!document || (*document)["$archiver"].string() != KeyedArchiver::kArchiverName ||
        (*document)["$version"].int64() != KeyedArchiver::kVersion) {
        return nullptr;
    }
    const auto className = (*document)["$class"].string();
    const JSON values = (*document)["$values"];
    if (!className || !values.isObject()) {
        return nullptr;
    }
    const auto factory = classes.find(*className);
    if (factory == classes.end() || !factory->second) {
        return nullptr;
    }
    try {
        return factory->second(KeyedUnarchiver(*className, values));
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::shared_ptr<KeyedCoding> KeyedUnarchiver::unarchiveFile(const std::string& path,
                                                            const ClassTable& classes) {
    const auto contents = FileHelpers::readFile(path);
    if (!contents) {
        return nullptr;
    }
    return unarchive(Bytes(contents->begin(), contents->end()), classes);
}

KeyedUnarchiver::KeyedUnarchiver(std::string className, JSON values)
    : className_(std::move(className)), values_(std::move(values)) {}

std::optional<std::int64_t> KeyedUnarchiver::decodeInteger(const std::string& key) const {
    return values_[key].int64();
}

std::optional<bool> KeyedUnarchiver::decodeBool(const std::string& key) const {
    return values_[key].bool_();
}

}  // namespace quillon
