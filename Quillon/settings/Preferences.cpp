// Preferences: loading, archiving, saving and updating the settings. Threads: as in
// Preferences.h.
#include "settings/Preferences.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/platform/NotificationCenter.h"
#include "interfaces/platform/UserDefaults.h"
#include "settings/KeyedArchiver.h"
#include "settings/KeyedCoding.h"
#include "settings/KeyedUnarchiver.h"

namespace quillon {

namespace {

struct SharedState {
    std::mutex mutex;
    std::shared_ptr<Preferences> instance;
};

SharedState& shared() {
    static SharedState state;
    return state;
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::shared_ptr<Preferences> Preferences::sharedInstance() {
    auto& state = shared();
    std::lock_guard lock(state.mutex);
    if (!state.instance) {
        state.instance = load();
    }
    return state.instance;
}

void Preferences::setSharedInstance(std::shared_ptr<Preferences> preferences) {
    auto& state = shared();
    std::lock_guard lock(state.mutex);
    state.instance = std::move(preferences);
}

KeyedUnarchiver::ClassTable Preferences::archiveClasses() {
    return {{kArchivedClassName, [](const KeyedUnarchiver& coder) {
                 return std::static_pointer_cast<KeyedCoding>(std::make_shared<Preferences>(coder));
             }}};
}

namespace {

std::shared_ptr<Preferences> unarchived(const std::optional<Bytes>& data) {
    std::shared_ptr<Preferences> preferences;
    if (data) {
        preferences = std::dynamic_pointer_cast<Preferences>(
            KeyedUnarchiver::unarchive(*data, Preferences::archiveClasses()));
    }
    return preferences ? preferences : std::make_shared<Preferences>();
}

}  // namespace

std::shared_ptr<Preferences> Preferences::load() {
    std::shared_ptr<Preferences> preferences =
        unarchived(UserDefaults::standard()->bytes(kDefaultsKey));
    const std::string text = preferences->description();
    NSLog("Load preferences %@", {text});
    preferences->lastLoggedDescription_ = text;
    return preferences;
}

Preferences::Preferences(const KeyedUnarchiver& coder) {
    const auto integer = [&](const char* key, std::int64_t& field) {
        if (const auto value = coder.decodeInteger(key)) {
            field = *value;
        }
    };
    const auto boolean = [&](const char* key, bool& field) {
        if (const auto value = coder.decodeBool(key)) {
            field = *value;
        }
    };
    integer("maxConcurrentDownloads", maxConcurrentDownloads);
    integer("maxDownloadSpeed", maxDownloadSpeed);
    boolean("hasDownloadSpeedLimit", hasDownloadSpeedLimit);
    integer("maxConcurrentUploads", maxConcurrentUploads);
    integer("maxUploadSpeed", maxUploadSpeed);
    boolean("hasUploadSpeedLimit", hasUploadSpeedLimit);
    integer("uploadPartSize", uploadPartSize);
    integer("downloadPartSize", downloadPartSize);
}

void Preferences::encode(KeyedArchiver& coder) const {
    coder.encodeInteger(maxConcurrentDownloads, "maxConcurrentDownloads");
    coder.encodeInteger(maxDownloadSpeed, "maxDownloadSpeed");
    coder.encodeBool(hasDownloadSpeedLimit, "hasDownloadSpeedLimit");
    coder.encodeInteger(maxConcurrentUploads, "maxConcurrentUploads");
    coder.encodeInteger(maxUploadSpeed, "maxUploadSpeed");
    coder.encodeBool(hasUploadSpeedLimit, "hasUploadSpeedLimit");
    coder.encodeInteger(uploadPartSize, "uploadPartSize");
    coder.encodeInteger(downloadPartSize, "downloadPartSize");
}

bool Preferences::disableColors() {
    if (!disableColors_) {
        disableColors_ = UserDefaults::standard()->boolean(kDisableColorsKey);
    }
    return *disableColors_;
}

std::string Preferences::description() const {
    return "Transfer Prefs: maxConcurrentDownloads=" + std::to_string(maxConcurrentDownloads) +
           " maxDownloadSpeed=" + std::to_string(maxDownloadSpeed) +
           " hasDownloadSpeedLimit=" + boolText(hasDownloadSpeedLimit) +
           " maxConcurrentUploads=" + std::to_string(maxConcurrentUploads) +
           " maxUploadSpeed=" + std::to_string(maxUploadSpeed) +
           " hasUploadSpeedLimit=" + boolText(hasUploadSpeedLimit) +
           " uploadPartSize=" + std::to_string(uploadPartSize) +
           " downloadPartSize=" + std::to_string(downloadPartSize);
}

bool Preferences::update(const std::function<void(Preferences&)>& change) {
    std::shared_ptr<Preferences> updated;
    const bool stored = UserDefaults::standard()->updateBytes(
        kDefaultsKey, [&](const std::optional<Bytes>& current) {
            updated = unarchived(current);
            change(*updated);
            return KeyedArchiver::archive(*updated, kArchivedClassName);
        });
    if (!stored || !updated) {
        return false;
    }
    const std::string text = updated->description();
    NSLog("Save preferences %@", {text});
    updated->lastLoggedDescription_ = text;
    setSharedInstance(updated);
    NotificationCenter::defaultCenter().post(FVPreferencesChangedNotification, updated);
    return true;
}

void Preferences::save() {
    const auto defaults = UserDefaults::standard();
    defaults->setBytes(kDefaultsKey, KeyedArchiver::archive(*this, kArchivedClassName));
    defaults->synchronize();
    const std::string text = description();
    if (text != lastLoggedDescription_) {
        NSLog("Save preferences %@", {text});
        lastLoggedDescription_ = text;
    }
    NotificationCenter::defaultCenter().post(FVPreferencesChangedNotification,
                                             weak_from_this().lock());
}

std::optional<std::string> Preferences::storedString(const std::string& key) {
    return UserDefaults::standard()->string(key);
}

bool Preferences::storeString(const std::string& key, const std::string& value) {
    const auto defaults = UserDefaults::standard();
    const bool written = defaults->setString(key, value);
    return defaults->synchronize() && written;
}

bool Preferences::storeInteger(const std::string& key, std::int64_t value) {
    const auto defaults = UserDefaults::standard();
    const bool written = defaults->setInteger(key, value);
    return defaults->synchronize() && written;
}

std::string Preferences::filePath() {
    return UserDefaults::standard()->filePath();
}

}  // namespace quillon
