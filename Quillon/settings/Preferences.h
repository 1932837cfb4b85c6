// Preferences: the user's transfer settings in the user defaults.
// Threads: main thread (see the class comment); only the shared instance is behind a mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "settings/KeyedArchiver.h"
#include "settings/KeyedCoding.h"
#include "settings/KeyedUnarchiver.h"

namespace quillon {

// Posted on the default notification centre by Preferences::save(), on the saving thread, with
// the saved object (std::shared_ptr<Preferences>) as the notification's object.
inline constexpr const char* FVPreferencesChangedNotification = "FVPreferencesChangedNotification";

// The user's transfer settings, stored as one keyed archive in the standard user defaults.
// Changes stay in memory until save(). Meant for the main thread; nothing is locked but the
// shared instance itself.
class Preferences : public KeyedCoding, public std::enable_shared_from_this<Preferences> {
  public:
    static constexpr const char* kArchivedClassName = "Nivalis.Preferences";
    static constexpr const char* kDefaultsKey = "preferences";
    static constexpr const char* kDisableColorsKey = "disableColors";

    // Loaded from the user defaults on first access.
    static std::shared_ptr<Preferences> sharedInstance();
    static void setSharedInstance(std::shared_ptr<Preferences> preferences);
    // The archived preferences of the standard user defaults, or the defaults when there are
    // none that can be read; logs "Load preferences %@".
    static std::shared_ptr<Preferences> load();
    // Class-name mapping for KeyedUnarchiver.
    static KeyedUnarchiver::ClassTable archiveClasses();

    std::int64_t maxConcurrentDownloads = 1;
    std::int64_t maxDownloadSpeed = 8192;
    bool hasDownloadSpeedLimit = false;
    std::int64_t maxConcurrentUploads = 1;
    std::int64_t maxUploadSpeed = 4096;
    bool hasUploadSpeedLimit = false;
    std::int64_t uploadPartSize = 16;
    std::int64_t downloadPartSize = 16;

    Preferences() = default;
    // Each archived field that is missing or of another kind keeps its default.
    explicit Preferences(const KeyedUnarchiver& coder);
    void encode(KeyedArchiver& coder) const override;

    // The last description written to the console log by load() or save().
    const std::string& lastLoggedDescription() const { return lastLoggedDescription_; }

    // Read from the user defaults "disableColors" on first use, then cached; setting changes
    // only the cached value.
    bool disableColors();
    void setDisableColors(bool value) { disableColors_ = value; }

    // "Transfer Prefs: maxConcurrentDownloads=1 maxDownloadSpeed=8192 ..."
    std::string description() const;

    // Archives into the user defaults, logs "Save preferences %@" when the description changed
    // since the last log line, and always posts FVPreferencesChangedNotification.
    void save();
    // Applies `change` to the preferences the user defaults hold now, read and written under
    // the file's lock, so parallel programs changing other fields keep their changes; the
    // result becomes the shared instance and the notification is posted. False when the
    // file cannot be written.
    static bool update(const std::function<void(Preferences&)>& change);

    // Single values in the same user defaults, by key: the library's own loose settings (the
    // skip patterns, the retry attempts) and a front end's values under its own key prefix
    // ("cli.selectedAccount"). A store writes through; false when the file cannot be written.
    static std::optional<std::string> storedString(const std::string& key);
    static bool storeString(const std::string& key, const std::string& value);
    static bool storeInteger(const std::string& key, std::int64_t value);
    // The file the user defaults live in, for messages.
    static std::string filePath();

  private:
    std::string lastLoggedDescription_;
    std::optional<bool> disableColors_;
};

}  // namespace quillon
