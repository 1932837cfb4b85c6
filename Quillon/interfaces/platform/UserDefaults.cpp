// UserDefaults: typed reads, pending changes and the locked re-read-and-replace of the file.
// Threads: as in UserDefaults.h.
#include "interfaces/platform/UserDefaults.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "foundation/FileHelpers.h"
#include "foundation/FileLock.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "interfaces/platform/AppDirectory.h"
#include "interfaces/text/Base64.h"

namespace quillon {

namespace {

struct StandardSlot {
    std::mutex mutex;
    std::shared_ptr<UserDefaults> defaults;
};

StandardSlot& standardSlot() {
    static StandardSlot slot;
    return slot;
}

JSON::Value readStore(const std::string& path) {
    const auto text = FileHelpers::readFile(path);
    if (!text) {
        return JSON::Value::object();
    }
    JSON::Value store = JSON::Value::parse(*text, nullptr, false);
    return store.is_object() ? store : JSON::Value::object();
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<double> numberFromText(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::int64_t truncatedToInteger(double value) {
    if (!std::isfinite(value)) {
        return 0;
    }
    constexpr double kLimit = 9.2233720368547748e18;
    if (value >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value <= -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace

UserDefaults::UserDefaults(std::string filePath) : filePath_(std::move(filePath)) {}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    const std::string path = AppDirectory::path() + "/" + kFileName;
    auto& slot = standardSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.defaults || slot.defaults->filePath() != path) {
        slot.defaults = std::make_shared<UserDefaults>(path);
    }
    return slot.defaults;
}

void UserDefaults::resetStandard() {
    auto& slot = standardSlot();
    std::lock_guard lock(slot.mutex);
    slot.defaults.reset();
}

void UserDefaults::loadLocked() const {
    if (!loaded_) {
        values_ = readStore(filePath_);
        loaded_ = true;
    }
}

const UserDefaults::Value* UserDefaults::findLocked(const std::string& key) const {
    loadLocked();
    const auto it = values_.find(key);
    return it == values_.end() ? nullptr : &*it;
}

bool UserDefaults::hasKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return findLocked(key) != nullptr;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* value = findLocked(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_string()) {
        return value->get<std::string>();
    }
    if (value->is_number()) {
        return value->dump();
    }
    return std::nullopt;
}

std::int64_t UserDefaults::integer(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* value = findLocked(key);
    if (value == nullptr) {
        return 0;
    }
    if (value->is_number_integer()) {
        if (value->is_number_unsigned() &&
            value->get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::numeric_limits<std::int64_t>::max();
        }
        return value->get<std::int64_t>();
    }
    if (value->is_number_float()) {
        return truncatedToInteger(value->get<double>());
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1 : 0;
    }
    if (value->is_string()) {
        const std::string text = value->get<std::string>();
        std::int64_t parsed = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (ec == std::errc() && end == text.data() + text.size()) {
            return parsed;
        }
        return truncatedToInteger(numberFromText(text).value_or(0));
    }
    return 0;
}

bool UserDefaults::boolean(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* value = findLocked(key);
    if (value == nullptr) {
        return false;
    }
    if (value->is_boolean()) {
        return value->get<bool>();
    }
    if (value->is_number()) {
        return value->get<double>() != 0;
    }
    if (value->is_string()) {
        const std::string text = lowered(value->get<std::string>());
        return text == "yes" || text == "true" || numberFromText(text).value_or(0) != 0;
    }
    return false;
}

double UserDefaults::doubleValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* value = findLocked(key);
    if (value == nullptr) {
        return 0;
    }
    if (value->is_number()) {
        return value->get<double>();
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1 : 0;
    }
    if (value->is_string()) {
        return numberFromText(value->get<std::string>()).value_or(0);
    }
    return 0;
}

std::optional<Bytes> UserDefaults::bytes(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* value = findLocked(key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return Base64::decode(value->get_ref<const std::string&>());
}

JSON UserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* value = findLocked(key);
    return value == nullptr ? JSON() : JSON(*value);
}

JSON UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    loadLocked();
    return JSON(values_);
}

bool UserDefaults::setString(const std::string& key, const std::string& value) {
    return change(key, Value(value));
}

bool UserDefaults::setInteger(const std::string& key, std::int64_t value) {
    return change(key, Value(value));
}

bool UserDefaults::setBool(const std::string& key, bool value) {
    return change(key, Value(value));
}

bool UserDefaults::setDouble(const std::string& key, double value) {
    // JSON has no text for infinities and NaN; they would come back as null.
    return change(key, std::isfinite(value) ? Value(value) : Value(0.0));
}

bool UserDefaults::setBytes(const std::string& key, const Bytes& value) {
    return change(key, Value(Base64::encode(value)));
}

bool UserDefaults::setObject(const std::string& key, const JSON& value) {
    if (value.isNull()) {
        return remove(key);
    }
    return change(key, value.value());
}

bool UserDefaults::remove(const std::string& key) {
    return change(key, std::nullopt);
}

bool UserDefaults::change(const std::string& key, std::optional<Value> value) {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (value) {
        values_[key] = *value;
    } else {
        values_.erase(key);
    }
    pending_[key] = std::move(value);
    return flushLocked();
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) {
        values_ = readStore(filePath_);
        loaded_ = true;
        return true;
    }
    return flushLocked();
}

bool UserDefaults::updateBytes(
    const std::string& key,
    const std::function<Bytes(const std::optional<Bytes>& current)>& change) {
    // The caller's `change` runs under the file's lock only, not this object's mutex: it may
    // read or write these defaults itself.
    FileLock writer(filePath_ + ".lock");
    if (!writer.lock()) {
        return false;
    }
    std::optional<Bytes> current;
    {
        const Value store = readStore(filePath_);
        if (auto found = store.find(key); found != store.end() && found->is_string()) {
            current = Base64::decode(found->get_ref<const std::string&>());
        }
    }
    const std::string next = Base64::encode(change(current));
    std::lock_guard lock(mutex_);
    return flushLocked([&](Value& store) { store[key] = next; }, false);
}

bool UserDefaults::flushLocked(const std::function<void(Value& store)>& edit, bool takeFileLock) {
    // Other programs change the file too: it is re-read and replaced under a lock of its own,
    // so their changes to other keys survive.
    std::optional<FileLock> writer;
    if (takeFileLock) {
        writer.emplace(filePath_ + ".lock");
        if (!writer->lock()) {
            return false;
        }
    }
    Value store = readStore(filePath_);
    for (const auto& [key, value] : pending_) {
        if (value) {
            store[key] = *value;
        } else {
            store.erase(key);
        }
    }
    if (edit) {
        edit(store);
    }
    const std::string text = store.dump(2, ' ', false, Value::error_handler_t::replace);
    const std::string directory = deletingLastPathComponent(filePath_);
    if (!directory.empty() && FileHelpers::createDirectory(directory) != nullptr) {
        return false;
    }
    if (FileHelpers::writeFileAtomically(filePath_, text + "\n") != nullptr) {
        return false;
    }
    pending_.clear();
    values_ = std::move(store);
    loaded_ = true;
    return true;
}

}  // namespace quillon
