#include "interfaces/text/Base64.h"

#include <gtest/gtest.h>

using quillon::Base64;
using quillon::Bytes;

namespace {

TEST(Base64, EncodesAndDecodesEveryPaddingCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : cases) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(Base64::encode(std::string_view(plain)), encoded);
        const std::string text(plain);
        EXPECT_EQ(Base64::decode(encoded), Bytes(text.begin(), text.end()));
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(Base64::decode(Base64::encode(all)), all);
}

TEST(Base64, RejectsTextThatIsNotBase64) {
    for (const char* bad : {"Zg=", "Zg", "Z===", "====", "Zm9v!A==", "Zg==Zg==", "Zm 9v", "Zm=v"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Base64::decode(bad), std::nullopt);
    }
}

}  // namespace
