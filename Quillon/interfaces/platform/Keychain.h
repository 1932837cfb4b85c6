// Keychain: the owner-only password store "Keychain.json" in the application directory.
// Threads: any thread; a process-wide mutex and a lock file serialise changes (across
//   processes too). Reads take the mutex only: the file is replaced atomically.
#pragma once

#include <optional>
#include <string>

namespace quillon {

// The password store: passwords keyed by (service, account), kept in "Keychain.json" in the
// application directory. The file is only ever readable by its owner (mode 0600) and is
// replaced atomically, so a crash leaves the old or the new store, never a torn one. Passwords
// are never logged. The directory is looked up on every call, so a change of the application
// directory takes effect at once.
class Keychain {
  public:
    static constexpr const char* kFileName = "Keychain.json";

    static std::string filePath();

    // The stored password; none when there is no such item or the store cannot be read.
    static std::optional<std::string> password(const std::string& service,
                                               const std::string& account);
    // Creates or replaces the item. False when the store cannot be written, or when the store
    // file exists but is damaged (it is left alone rather than overwritten).
    static bool setPassword(const std::string& password, const std::string& service,
                            const std::string& account);
    // Removes the item; false when there was none or the store cannot be written.
    static bool deletePassword(const std::string& service, const std::string& account);
};

}  // namespace quillon
