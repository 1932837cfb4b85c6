// KeyedArchiver: encoding values into the archive document. Threads: as in KeyedArchiver.h.
#include "settings/KeyedArchiver.h"

#include <cstdint>
#include <string>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "settings/KeyedCoding.h"

namespace quillon {

Bytes KeyedArchiver::archive(const KeyedCoding& value, const std::string& className) {
    KeyedArchiver archiver;
    archiver.setClassName(className);
    archiver.encodeRootObject(value);
    return archiver.encodedData();
}

void KeyedArchiver::encodeRootObject(const KeyedCoding& value) {
    values_ = JSON::Value::object();
    value.encode(*this);
}

Bytes KeyedArchiver::encodedData() const {
    JSON::Value document = JSON::Value::object();
    document["$archiver"] = kArchiverName;
    document["$version"] = kVersion;
    document["$class"] = className_;
    document["$values"] = values_;
    const std::string text = document.dump();
    return Bytes(text.begin(), text.end());
}

void KeyedArchiver::encodeInteger(std::int64_t value, const std::string& key) {
    values_[key] = value;
}

void KeyedArchiver::encodeBool(bool value, const std::string& key) {
    values_[key] = value;
}

}  // namespace quillon
