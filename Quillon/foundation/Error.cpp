// Error: typed user-info readers and the generic description. Threads: as in Error.h.
#include "foundation/Error.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace quillon {

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

Error::Error(std::string domain, std::int64_t code, UserInfo userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

std::string Error::localizedDescription() const {
    if (auto text = stringForKey(kLocalizedDescriptionKey)) {
        return *text;
    }
    return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) +
           ".)";
}

const UserInfoValue* Error::find(const std::string& key) const {
    auto it = userInfo_.find(key);
    return it == userInfo_.end() ? nullptr : &it->second;
}

template <typename T>
static std::optional<T> typed(const UserInfoValue* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const T* v = std::get_if<T>(value)) {
        return *v;
    }
    return std::nullopt;
}

std::optional<std::string> Error::stringForKey(const std::string& key) const {
    return typed<std::string>(find(key));
}

std::optional<bool> Error::boolForKey(const std::string& key) const {
    return typed<bool>(find(key));
}

ErrorPtr Error::errorForKey(const std::string& key) const {
    return typed<ErrorPtr>(find(key)).value_or(nullptr);
}

std::optional<Bytes> Error::bytesForKey(const std::string& key) const {
    return typed<Bytes>(find(key));
}

std::optional<HTTPResponse> Error::responseForKey(const std::string& key) const {
    return typed<HTTPResponse>(find(key));
}

std::optional<bool> Error::canAutoRetry() const {
    return boolForKey("canAutoRetry");
}

}  // namespace quillon
