// UserDefaults: the application's key-value settings in one JSON file, written at each change.
// Threads: any thread; a mutex guards each object (the standard slot has its own) and a lock
//   file orders writers across processes. updateBytes' change runs under the file lock only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "foundation/JSON.h"

namespace quillon {

// The application's settings: key → value, kept in one JSON file ("UserDefaults.json" in the
// application directory for the standard defaults). Values are texts, integers, booleans,
// doubles, bytes (stored as base64 text) and any JSON value.
//
// Every change is written at once: the file is re-read, the object's unsaved changes are
// applied to it and the result replaces the file atomically, so other processes' changes to
// other keys survive. synchronize() retries failed writes and picks up the file's current
// content. All operations are thread-safe.
class UserDefaults {
  public:
    static constexpr const char* kFileName = "UserDefaults.json";

    explicit UserDefaults(std::string filePath);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The process-wide standard defaults in the application directory. The directory is looked
    // up on every call: when it has changed (tests move $QUILLON_HOME), a new object for the new
    // file replaces the old one.
    static std::shared_ptr<UserDefaults> standard();
    // Drops the standard object; the next standard() reads its file afresh.
    static void resetStandard();

    const std::string& filePath() const { return filePath_; }

    bool hasKey(const std::string& key) const;
    // A text value, or a number rendered as text; none for other kinds and missing keys.
    std::optional<std::string> string(const std::string& key) const;
    // Numbers (doubles truncated), booleans as 0/1 and texts that read as whole numbers; 0
    // otherwise.
    std::int64_t integer(const std::string& key) const;
    // Booleans, numbers other than 0, and the texts "yes"/"true" in any case or a non-zero
    // number; false otherwise.
    bool boolean(const std::string& key) const;
    // Numbers, booleans as 0/1 and texts that read as numbers; 0 otherwise.
    double doubleValue(const std::string& key) const;
    // Bytes stored with setBytes; none when the key is missing or not valid base64 text.
    std::optional<Bytes> bytes(const std::string& key) const;
    // The stored value as it is; the null value when the key is missing.
    JSON object(const std::string& key) const;
    // All keys and values.
    JSON dictionaryRepresentation() const;

    // Each setter returns whether the change reached the file (the value is kept in memory
    // either way and written by a later change or synchronize()).
    bool setString(const std::string& key, const std::string& value);
    bool setInteger(const std::string& key, std::int64_t value);
    bool setBool(const std::string& key, bool value);
    bool setDouble(const std::string& key, double value);
    bool setBytes(const std::string& key, const Bytes& value);
    // A null JSON value removes the key.
    bool setObject(const std::string& key, const JSON& value);
    bool remove(const std::string& key);

    // Writes unsaved changes and reloads the file; false when the file cannot be written.
    bool synchronize();

    // A read-modify-write of one value that no other program's change interleaves with: under
    // the file's lock, `change` receives the bytes the file holds now (none when missing or
    // unreadable) and returns the bytes to store. False when the file cannot be written.
    // `change` runs with no lock of this object held.
    bool updateBytes(const std::string& key,
                     const std::function<Bytes(const std::optional<Bytes>& current)>& change);

  private:
    using Value = JSON::Value;

    bool change(const std::string& key, std::optional<Value> value);
    void loadLocked() const;
    // Re-reads the file under its lock (taken here unless the caller holds it), applies the
    // pending changes, then `edit`, and writes.
    bool flushLocked(const std::function<void(Value& store)>& edit = {}, bool takeFileLock = true);
    const Value* findLocked(const std::string& key) const;

    const std::string filePath_;
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    mutable Value values_ = Value::object();
    // Changes not yet in the file; none marks a removal.
    std::map<std::string, std::optional<Value>> pending_;
};

}  // namespace quillon
