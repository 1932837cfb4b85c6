// Tests of TreeHash and PayloadHash: the reference vectors, combining, file windows, stopping, bad
// files, and both digests of a body from one pass however its bytes arrive.
// Threads: the test's thread; the hasher runs its own helper threads in some cases.
#include "interfaces/files/TreeHash.h"

#include <cerrno>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/FileHelpers.h"
#include "interfaces/files/PayloadHash.h"
#include "support/TempDir.h"
#include "support/TreeHashVectors.h"

namespace quillon {
namespace {

using testing::referencePattern;
using testing::TempDir;

// Each test has a temporary directory of its own.
struct TreeHashOfFiles : ::testing::Test {
    TempDir tmp;
};

TEST_F(TreeHashOfFiles, MatchesEveryReferenceVectorOnOneCoreAndOnAll) {
    const auto vectors = testing::treeHashVectors();
    ASSERT_GE(vectors.size(), 10u);
    for (const auto& v : vectors) {
        SCOPED_TRACE("size " + std::to_string(v.size));
        const std::string content = referencePattern(v.size);
        const std::string path = tmp.file("v" + std::to_string(v.size));
        ASSERT_EQ(FileHelpers::writeFile(path, content), nullptr);

        EXPECT_EQ(TreeHash::sha256Hex(content), v.sha256);
        EXPECT_EQ(TreeHash::sha256OfFile(path), v.sha256);
        EXPECT_EQ(TreeHash::treeHashOfBuffer(content), v.treeHash);
        EXPECT_EQ(TreeHash::treeHashOfFile(path), v.treeHash);

        const auto single = TreeHash::chunkHashesSingleThreaded(path);
        EXPECT_EQ(single.size(), std::max<std::size_t>(1, (v.size + 1048575) / 1048576));
        EXPECT_EQ(TreeHash::treeHash(single), v.treeHash);
        EXPECT_EQ(TreeHash::chunkHashes(path), single);
        TreeHash::Options many;
        many.threads = 3;  // more workers than cores, and batches that end mid-file
        EXPECT_EQ(TreeHash::chunkHashes(path, many), single);

        ErrorPtr error;
        const auto both = TreeHash::hashFile(path, many, &error);
        ASSERT_TRUE(both.has_value());
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(both->sha256, v.sha256);
        EXPECT_EQ(both->chunks, single);
    }
}

// Both digests from one pass equal the separate ones, with our rounds and with OpenSSL's, for
// bodies that arrive whole, in pieces that cross blocks and chunks anywhere, and byte by byte.
TEST(PayloadHash, GivesTheLinearHashAndTheChunkDigestsHoweverTheBytesArrive) {
    std::mt19937 random(7);
    std::vector<std::string> bodies;
    for (const auto& v : testing::treeHashVectors()) {
        bodies.push_back(referencePattern(v.size));
    }
    // Bytes with no period, so that a block taken from the wrong place shows.
    for (const std::size_t size : {std::size_t{55}, std::size_t{56}, std::size_t{119},
                                   std::size_t{1048575}, std::size_t{3 * 1048576 + 100}}) {
        std::string body(size, '\0');
        for (char& byte : body) {
            byte = static_cast<char>(random());
        }
        bodies.push_back(std::move(body));
    }
    for (const auto method : {PayloadHash::Method::fastest, PayloadHash::Method::openssl}) {
        PayloadHash hash(method);  // one object for every body: finish() starts it over
        for (const std::string& body : bodies) {
            const auto expectedChunks = TreeHash::chunkHashesOfBuffer(body);
            for (const std::size_t piece : {body.size() + 1, std::size_t{1}, std::size_t{63},
                                            std::size_t{4099}, std::size_t{262147}}) {
                if (piece == 1 && body.size() > 70000) {
                    continue;
                }
                SCOPED_TRACE("size " + std::to_string(body.size()) + ", pieces of " +
                             std::to_string(piece));
                for (std::size_t at = 0; at < body.size(); at += piece) {
                    hash.update(body.data() + at, std::min(piece, body.size() - at));
                }
                const PayloadHash::Digests digests = hash.finish();
                EXPECT_EQ(Sha256::hex(digests.linear), TreeHash::sha256Hex(body));
                EXPECT_EQ(digests.chunks, expectedChunks);
            }
        }
    }
}

TEST(PayloadHash, HashesTwoBuffersSideBySide) {
    std::mt19937 random(11);
    for (const std::size_t size : {std::size_t{0}, std::size_t{55}, std::size_t{64},
                                   std::size_t{1000}, std::size_t{1048576}}) {
        std::string first(size, '\0');
        std::string second(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            first[i] = static_cast<char>(random());
            second[i] = static_cast<char>(random());
        }
        const auto both = PayloadHash::digestTwo(first.data(), second.data(), size);
        EXPECT_EQ(both[0], Sha256::digest(first)) << size;
        EXPECT_EQ(both[1], Sha256::digest(second)) << size;
    }
}

TEST(TreeHash, CombinesDigestsPairwiseCarryingTheOddOneUp) {
    const Sha256Digest a = Sha256::digest("a");
    const Sha256Digest b = Sha256::digest("b");
    const Sha256Digest c = Sha256::digest("c");
    auto join = [](const Sha256Digest& x, const Sha256Digest& y) {
        std::string both(x.begin(), x.end());
        both.append(y.begin(), y.end());
        return Sha256::digest(both);
    };
    EXPECT_EQ(TreeHash::treeHash({}), "");
    EXPECT_EQ(TreeHash::treeHash({a}), Sha256::hex(a));
    EXPECT_EQ(TreeHash::treeHash({a, b, c}), Sha256::hex(join(join(a, b), c)));
    EXPECT_EQ(TreeHash::treeHash({a, b, c, a, b}),
              Sha256::hex(join(join(join(a, b), join(c, a)), b)));
}

TEST_F(TreeHashOfFiles, HashesAWindowOfAFileForMultipartParts) {
    const std::int64_t mib = 1048576;
    const std::string content = referencePattern(5 * mib + 123);
    const std::string path = tmp.file("big");
    ASSERT_EQ(FileHelpers::writeFile(path, content), nullptr);

    struct Window {
        std::int64_t offset;
        std::int64_t length;
        std::string expected;
    } windows[] = {
        {2 * mib, 2 * mib, content.substr(2 * mib, 2 * mib)},
        {4 * mib, -1, content.substr(4 * mib)},
        {4 * mib, 8 * mib, content.substr(4 * mib)},
        {static_cast<std::int64_t>(content.size()), 100, ""},
        {17, 0, ""},
    };
    for (const auto& w : windows) {
        SCOPED_TRACE(std::to_string(w.offset) + "+" + std::to_string(w.length));
        for (unsigned threads : {1u, 0u}) {
            TreeHash::Options options;
            options.offset = w.offset;
            options.length = w.length;
            options.threads = threads;
            EXPECT_EQ(TreeHash::chunkHashes(path, options),
                      TreeHash::chunkHashesOfBuffer(w.expected));
            EXPECT_EQ(TreeHash::sha256OfFile(path, options), TreeHash::sha256Hex(w.expected));
        }
    }
}

TEST_F(TreeHashOfFiles, StoppingYieldsAnEmptyListNeverAPartialOne) {
    const std::string path = tmp.file("stop");
    ASSERT_EQ(FileHelpers::writeFile(path, referencePattern(17 * 1048576 + 5)), nullptr);

    // One thread reads the file in at least two blocks, so its second callback comes while
    // blocks are still unread. With helper threads only the first callback is sure to come
    // before the end: the helpers may hash every chunk before the calling thread reports.
    for (unsigned threads : {1u, 2u, 3u}) {
        SCOPED_TRACE(threads);
        for (int stopAfter : threads == 1 ? std::vector<int>{1, 2} : std::vector<int>{1}) {
            int calls = 0;
            TreeHash::Options options;
            options.threads = threads;
            options.progress = [&](int) { return ++calls < stopAfter; };
            ErrorPtr error;
            EXPECT_TRUE(TreeHash::chunkHashes(path, options, &error).empty());
            EXPECT_EQ(error, nullptr) << "a stop is not a failure";
            EXPECT_EQ(calls, stopAfter);
            EXPECT_FALSE(TreeHash::hashFile(path, options));
        }
    }

    std::vector<int> seen;
    const auto all = TreeHash::chunkHashes(path, [&](int percent) {
        seen.push_back(percent);
        return true;
    });
    EXPECT_EQ(all.size(), 18u);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 100);

    EXPECT_FALSE(TreeHash::treeHashOfFile(path, [](int) { return false; }));
}

TEST_F(TreeHashOfFiles, ReportsFilesThatCannotBeRead) {
    ErrorPtr missing;
    EXPECT_TRUE(TreeHash::chunkHashes(tmp.file("missing"), TreeHash::Progress(), &missing).empty());
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->domain(), FileHelpers::kFileErrorDomain);
    EXPECT_EQ(missing->code(), ENOENT);
    EXPECT_EQ(missing->stringForKey(FileHelpers::kFilePathErrorKey), tmp.file("missing"));

    ErrorPtr directory;
    EXPECT_FALSE(TreeHash::sha256OfFile(tmp.path(), &directory));
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(directory->code(), EISDIR);

    ErrorPtr throughFile;
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("plain"), "x"), nullptr);
    EXPECT_FALSE(TreeHash::treeHashOfFile(tmp.file("plain/inner"), {}, &throughFile));
    ASSERT_NE(throughFile, nullptr);
    EXPECT_EQ(throughFile->code(), ENOTDIR);

    TreeHash::Options negative;
    negative.offset = -1;
    ErrorPtr badWindow;
    EXPECT_TRUE(TreeHash::chunkHashes(tmp.file("plain"), negative, &badWindow).empty());
    EXPECT_NE(badWindow, nullptr);
}

}  // namespace
}  // namespace quillon
