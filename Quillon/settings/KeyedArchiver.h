// KeyedArchiver: writes one object and its values by key as a small JSON archive.
// Threads: not thread-safe; one owner per archiver. The static archive() keeps no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "settings/KeyedCoding.h"

namespace quillon {

// Writes one object as a keyed archive: the object's class name and its values by key, with
// their kinds (integer, boolean) kept. The data is a small JSON document:
// {"$archiver": "KeyedArchiver", "$version": 1, "$class": NAME, "$values": {KEY: VALUE...}}.
class KeyedArchiver {
  public:
    static constexpr const char* kArchiverName = "KeyedArchiver";
    static constexpr std::int64_t kVersion = 1;

    // The archived data of `value` as the root object, recorded under `className`.
    static Bytes archive(const KeyedCoding& value, const std::string& className);

    KeyedArchiver() = default;

    // The class name recorded for the root object.
    void setClassName(std::string className) { className_ = std::move(className); }
    // Lets the object encode its values (replacing any encoded before).
    void encodeRootObject(const KeyedCoding& value);
    Bytes encodedData() const;

    // Called from KeyedCoding::encode; a later value replaces an earlier one under the same key.
    void encodeInteger(std::int64_t value, const std::string& key);
    void encodeBool(bool value, const std::string& key);

  private:
    std::string className_;
    JSON::Value values_ = JSON::Value::object();
};

}  // namespace quillon
