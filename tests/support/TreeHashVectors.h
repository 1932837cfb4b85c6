// The tree hash reference vectors (tests/reference/treehash-vectors.json) and the content they
// were computed over. Plain functions; any thread.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "support/BuildPaths.h"

namespace quillon::testing {

// The reference content: byte i is (i * 31 + 7) mod 256.
inline std::string referencePattern(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        content[i] = static_cast<char>((i * 31 + 7) % 256);
    }
    return content;
}

struct TreeHashVector {
    std::size_t size;
    std::string sha256;
    std::string treeHash;
};

inline std::vector<TreeHashVector> treeHashVectors() {
    const auto text = FileHelpers::readFile(referenceFile("treehash-vectors.json"));
    EXPECT_TRUE(text.has_value());
    std::vector<TreeHashVector> vectors;
    for (const auto& v : JSON::parse(text.value_or(""))["vectors"].arrayValue()) {
        vectors.push_back({static_cast<std::size_t>(v["size"].int64Value()),
                           v["sha256"].stringValue(), v["treeHash"].stringValue()});
    }
    return vectors;
}

}  // namespace quillon::testing
