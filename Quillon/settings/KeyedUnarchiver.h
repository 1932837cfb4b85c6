// KeyedUnarchiver: reads back a keyed archive through the caller's class factories.
// Threads: no shared state; an unarchiver is read-only once built, safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "settings/KeyedCoding.h"

namespace quillon {

// Reads back an archive written by KeyedArchiver. The caller maps archived class names to
// factories; an archive of any other class gives nothing.
class KeyedUnarchiver {
  public:
    using Factory = std::function<std::shared_ptr<KeyedCoding>(const KeyedUnarchiver&)>;
    using ClassTable = std::map<std::string, Factory>;

    // The root object; none when the data is not a keyed archive or its class has no factory.
    // Errors are swallowed.
    static std::shared_ptr<KeyedCoding> unarchive(const Bytes& data, const ClassTable& classes);
    // The same for a file's contents; none when the file cannot be read.
    static std::shared_ptr<KeyedCoding> unarchiveFile(const std::string& path,
                                                      const ClassTable& classes);

    const std::string& className() const { return className_; }

    // Each reader gives none when the key is missing or holds another kind: an integer needs
    // an integral number (not a boolean), a boolean a real boolean.
    std::optional<std::int64_t> decodeInteger(const std::string& key) const;
    std::optional<bool> decodeBool(const std::string& key) const;

  private:
    KeyedUnarchiver(std::string className, JSON values);

    std::string className_;
    JSON values_;
};

}  // namespace quillon
