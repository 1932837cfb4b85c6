// Localization: the strings-table parser and the key lookups. Threads: as in Localization.h.
#include "interfaces/base/Localization.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "interfaces/text/Format.h"

namespace quillon {

namespace {

class StringsParser {
  public:
    explicit StringsParser(std::string_view text) : text_(text) {}

    Localization::Table parse() {
        Localization::Table table;
        while (skipSpaceAndComments(), pos_ < text_.size()) {
            auto key = quoted();
            skipSpaceAndComments();
            if (key && consume('=')) {
                skipSpaceAndComments();
                auto value = quoted();
                skipSpaceAndComments();
                if (value && consume(';')) {
                    table.insert_or_assign(std::move(*key), std::move(*value));
                    continue;
                }
            }
            skipPastSemicolon();
        }
        return table;
    }

  private:
    void skipSpaceAndComments() {
        while (pos_ < text_.size()) {
            if (std::isspace(static_cast<unsigned char>(text_[pos_]))) {
                ++pos_;
            } else if (text_.substr(pos_, 2) == "//") {
                auto end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end + 1;
            } else if (text_.substr(pos_, 2) == "/*") {
                auto end = text_.find("*/", pos_ + 2);
                pos_ = end == std::string_view::npos ? text_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    bool consume(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    std::optional<std::string> quoted() {
        if (!consume('"')) {
            return std::nullopt;
        }
        std::string out;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') {
                return out;
            }
            if (c == '\\' && pos_ < text_.size()) {
                char e = text_[pos_++];
                switch (e) {
                    case 'n':
                        out += '\n';
                        break;
                    case 't':
                        out += '\t';
                        break;
                    default:
                        out += e;  // \" and \\ and anything else stand for themselves
                        break;
                }
                continue;
            }
            out += c;
        }
        return std::nullopt;
    }

    // Recovery after a malformed entry: skip to the end of that entry, quotes respected.
    void skipPastSemicolon() {
        bool inQuotes = false;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (inQuotes && c == '\\') {
                ++pos_;
            } else if (c == '"') {
                inQuotes = !inQuotes;
            } else if (c == ';' && !inQuotes) {
                return;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

Localization::Table Localization::parse(std::string_view text) {
    return StringsParser(text).parse();
}

const Localization::Table& Localization::table() {
    static const Table table = parse(resources::localizableTable());
    return table;
}

bool Localization::contains(std::string_view key) {
    return table().find(key) != table().end();
}

std::string Localization::string(std::string_view key) {
    const auto& entries = table();
    auto it = entries.find(key);
    return it == entries.end() ? std::string(key) : it->second;
}

std::string Localization::format(std::string_view key, const FormatArgs& args) {
    for (const auto& arg : args) {
        if (const auto* number = std::get_if<std::int64_t>(&arg)) {
            if (*number == 1) {
                std::string singular = std::string(key) + ".one";
                if (contains(singular)) {
                    return formatString(string(singular), args);
                }
            }
            break;
        }
    }
    return formatString(string(key), args);
}

}  // namespace quillon
