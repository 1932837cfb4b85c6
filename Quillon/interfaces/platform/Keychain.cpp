// Keychain: loading, editing and atomically saving the store. Threads: as in Keychain.h.
#include "interfaces/platform/Keychain.h"

#include <mutex>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "foundation/FileHelpers.h"
#include "foundation/FileLock.h"
#include "interfaces/platform/AppDirectory.h"

namespace quillon {

namespace {

// Serialises read-modify-write cycles of the store within this process; across processes a
// change holds a FileLock on "Keychain.json.lock" and re-reads the store under it, so parallel
// changes by several programs all survive. Readers take only the mutex, not the file lock (the
// file is replaced atomically).
std::mutex& storeMutex() {
    static std::mutex mutex;
    return mutex;
}

// The store's content: an empty object when the file does not exist, none when it exists but
// cannot be read or is not a store.
std::optional<nlohmann::json> loadStore(const std::string& path) {
    if (!FileHelpers::exists(path)) {
        return nlohmann::json::object();
    }
    const auto text = FileHelpers::readFile(path);
    if (!text) {
        return std::nullopt;
    }
    nlohmann::json store = nlohmann::json::parse(*text, nullptr, false);
    if (!store.is_object()) {
        return std::nullopt;
    }
    return store;
}

bool saveStore(const std::string& path, const nlohmann::json& store) {
    std::string text;
    try {
        text = store.dump(1);
    } catch (const nlohmann::json::exception&) {
        return false;  // text that is not UTF-8 cannot be stored
    }
    const std::string directory = AppDirectory::path();
    if (FileHelpers::createDirectory(directory) != nullptr) {
        return false;
    }
    return FileHelpers::writeFileAtomically(path, text, 0600) == nullptr;
}

// Reads the store at `path` under the process's and the file's writer locks, lets `change`
// edit it and saves it when `change` answers true; false when any step fails.
template <typename Change>
bool updateStore(const std::string& path, Change change) {
    std::lock_guard lock(storeMutex());
    FileLock writer(path + ".lock");
    if (!writer.lock()) {
        return false;
    }
    auto store = loadStore(path);
    if (!store || !change(*store)) {
        return false;
    }
    return saveStore(path, *store);
}

}  // namespace

std::string Keychain::filePath() {
    return AppDirectory::path() + "/" + kFileName;
}

std::optional<std::string> Keychain::password(const std::string& service,
                                              const std::string& account) {
    std::lock_guard lock(storeMutex());
    const auto store = loadStore(filePath());
    if (!store) {
        return std::nullopt;
    }
    const auto items = store->find(service);
    if (items == store->end() || !items->is_object()) {
        return std::nullopt;
    }
    const auto item = items->find(account);
    if (item == items->end() || !item->is_string()) {
        return std::nullopt;
    }
    return item->get<std::string>();
}

bool Keychain::setPassword(const std::string& password, const std::string& service,
                           const std::string& account) {
    return updateStore(filePath(), [&](nlohmann::json& store) {
        auto& items = store[service];
        if (!items.is_object()) {
            items = nlohmann::json::object();
        }
        items[account] = password;
        return true;
    });
}

bool Keychain::deletePassword(const std::string& service, const std::string& account) {
    return updateStore(filePath(), [&](nlohmann::json& store) {
        const auto items = store.find(service);
        if (items == store.end() || !items->is_object() || items->erase(account) == 0) {
            return false;
        }
        if (items->empty()) {
            store.erase(items);
        }
        return true;
    });
}

}  // namespace quillon
