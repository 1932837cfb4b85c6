// Base64 through OpenSSL's block coder, with the strict checks OpenSSL leaves out. Stateless:
// callable from any thread.
#include "interfaces/text/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::string Base64::encode(const Bytes& bytes) {
    return encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string Base64::encode(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::optional<Bytes> Base64::decode(std::string_view text) {
    // OpenSSL accepts white space and "=" anywhere; only whole groups with at most two
    // trailing "=" are base64 here.
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), inAlphabet)) {
        return std::nullopt;
    }
    Bytes bytes(text.size() / 4 * 3);
    if (EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size())) < 0) {
        return std::nullopt;
    }
    bytes.resize(bytes.size() - padding);
    return bytes;
}

}  // namespace quillon
