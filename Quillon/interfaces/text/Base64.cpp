#include "interfaces/text/Base64.h"

#include <array>

namespace quillon {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> decodeTable() {
    std::array<int, 256> table{};
    for (auto& entry : table) {
        entry = -1;
    }
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<int, 256> kDecode = decodeTable();

std::string encodeBytes(const unsigned char* data, std::size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const std::size_t rest = size - i; rest > 0) {
        const unsigned v = (data[i] << 16) | (rest == 2 ? data[i + 1] << 8 : 0);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace

std::string Base64::encode(const Bytes& bytes) {
    return encodeBytes(bytes.data(), bytes.size());
}

std::string Base64::encode(std::string_view bytes) {
    return encodeBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::optional<Bytes> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    }
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool lastGroup = i + 4 == text.size();
        unsigned v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            int digit = kDecode[static_cast<unsigned char>(c)];
            if (c == '=' && lastGroup && j >= 4 - padding) {
                digit = 0;
            }
            if (digit < 0) {
                return std::nullopt;
            }
            v = (v << 6) | static_cast<unsigned>(digit);
        }
        const std::size_t produce = lastGroup ? 3 - padding : 3;
        for (std::size_t k = 0; k < produce; ++k) {
            out.push_back(static_cast<std::uint8_t>((v >> (16 - 8 * k)) & 0xff));
        }
    }
    return out;
}

}  // namespace quillon
