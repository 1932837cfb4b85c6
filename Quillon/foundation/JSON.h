// JSON: a parsed document read by key and index through typed, never-throwing accessors.
// Threads: a plain value, not synchronised; concurrent reads of one value are safe, a writer
//   through value() needs the only reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon {

// A parsed JSON document read by key and index with typed accessors. Reading a missing key,
// an index out of range or a value of another kind yields the null value, never an exception.
// Object members keep the order in which they were parsed or inserted.
class JSON {
  public:
    using Value = nlohmann::ordered_json;

    JSON() = default;  // the null value
    JSON(Value value) : value_(std::move(value)) {}

    // Parses text with fragments allowed (a bare string or number is a document too);
    // the null value when the text is not JSON.
    static JSON parse(std::string_view text);
    static JSON parse(const std::vector<std::uint8_t>& data);
    // Like parse, but reports whether the text was JSON at all.
    static std::optional<JSON> tryParse(std::string_view text);

    JSON operator[](std::string_view key) const;
    JSON operator[](std::size_t index) const;

    bool isNull() const { return value_.is_null(); }
    bool isString() const { return value_.is_string(); }
    bool isArray() const { return value_.is_array(); }
    bool isObject() const { return value_.is_object(); }
    bool exists() const { return !value_.is_null(); }

    // Optional accessors: none unless the value is of that kind. Integers accept integral
    // JSON numbers only (a float such as 1.5 is not an integer).
    std::optional<std::string> string() const;
    std::optional<int> int_() const;
    std::optional<std::int64_t> int64() const;
    std::optional<double> double_() const;
    std::optional<bool> bool_() const;
    std::optional<std::vector<JSON>> array() const;
    std::optional<std::map<std::string, JSON>> dictionary() const;

    // Non-optional accessors: the kind's empty value when the value is of another kind.
    std::string stringValue() const { return string().value_or(""); }
    std::int64_t int64Value() const { return int64().value_or(0); }
    std::vector<JSON> arrayValue() const { return array().value_or(std::vector<JSON>{}); }

    // Serialised text; pretty-printed with a 2-space indent when asked.
    std::string rawString(bool pretty = false) const;

    const Value& value() const { return value_; }
    Value& value() { return value_; }

    bool operator==(const JSON& other) const { return value_ == other.value_; }

  private:
    Value value_;
};

}  // namespace quillon
