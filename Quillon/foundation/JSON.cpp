// JSON: parsing and the typed accessors over nlohmann::ordered_json. Threads: as in JSON.h.
#include "foundation/JSON.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon {

std::optional<JSON> JSON::tryParse(std::string_view text) {
    Value parsed = Value::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    return JSON(std::move(parsed));
}

JSON JSON::parse(std::string_view text) {
    return tryParse(text).value_or(JSON());
}

JSON JSON::parse(const std::vector<std::uint8_t>& data) {
    return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

JSON JSON::operator[](std::string_view key) const {
    if (!value_.is_object()) {
        return JSON();
    }
    auto it = value_.find(std::string(key));
    return it == value_.end() ? JSON() : JSON(*it);
}

JSON JSON::operator[](std::size_t index) const {
    if (!value_.is_array() || index >= value_.size()) {
        return JSON();
    }
    return JSON(value_[index]);
}

std::optional<std::string> JSON::string() const {
    if (!value_.is_string()) {
        return std::nullopt;
    }
    return value_.get<std::string>();
}

std::optional<std::int64_t> JSON::int64() const {
    if (value_.is_number_integer()) {
        return value_.get<std::int64_t>();
    }
    if (value_.is_number_unsigned()) {
        auto v = value_.get<std::uint64_t>();
        if (v <= static_cast<std::uint64_t>(INT64_MAX)) {
            return static_cast<std::int64_t>(v);
        }
    }
    // A whole number written with a fraction ("2048.0") is that integer.
    if (value_.is_number_float()) {
        double v = value_.get<double>();
        if (std::trunc(v) == v && v >= -9223372036854775808.0 && v < 9223372036854775808.0) {
            return static_cast<std::int64_t>(v);
        }
    }
    return std::nullopt;
}

std::optional<int> JSON::int_() const {
    auto v = int64();
    if (!v || *v < INT32_MIN || *v > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

std::optional<double> JSON::double_() const {
    if (!value_.is_number()) {
        return std::nullopt;
    }
    return value_.get<double>();
}

std::optional<bool> JSON::bool_() const {
    if (!value_.is_boolean()) {
        return std::nullopt;
    }
    return value_.get<bool>();
}

std::optional<std::vector<JSON>> JSON::array() const {
    if (!value_.is_array()) {
        return std::nullopt;
    }
    std::vector<JSON> out;
    out.reserve(value_.size());
    for (const auto& element : value_) {
        out.emplace_back(element);
    }
    return out;
}

std::optional<std::map<std::string, JSON>> JSON::dictionary() const {
    if (!value_.is_object()) {
        return std::nullopt;
    }
    std::map<std::string, JSON> out;
    for (auto it = value_.begin(); it != value_.end(); ++it) {
        out.emplace(it.key(), JSON(it.value()));
    }
    return out;
}

std::string JSON::rawString(bool pretty) const {
    return value_.dump(pretty ? 2 : -1, ' ', false, Value::error_handler_t::replace);
}

}  // namespace quillon
