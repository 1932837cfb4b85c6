// Tests of SigV4Signer: the reference vectors, canonical forms, payload hashes and re-signing.
// Threads: run on the test's thread.
#include "interfaces/http/SigV4Signer.h"

#include <gtest/gtest.h>

#include <fstream>

#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierRequestSerializer.h"
#include "support/SigV4Vectors.h"
#include "support/TempDir.h"

using quillon::GlacierRequestSerializer;
using quillon::SigV4Signer;
using quillon::TreeHash;
using quillon::URLRequest;

TEST(SigV4Signer, MatchesEveryReferenceVector) {
    auto vectors = quillon::testing::loadSigV4Vectors();
    ASSERT_GE(vectors.size(), 22u);
    GlacierRequestSerializer serializer;
    for (const auto& vector : vectors) {
        SCOPED_TRACE(vector.name);
        // The query goes out in the vector's own order; the signer must sort it.
        URLRequest request(vector.method, "http://" + vector.host + vector.target());
        for (const auto& [name, value] : vector.headers) {
            request.setValue(value, name);
        }
        request.setBody(vector.body);
        EXPECT_EQ(TreeHash::sha256Hex(request.body()), vector.bodySha256);

        auto signedRequest =
            serializer.prepareGlacierRequest(request, vector.host.substr(0, vector.host.find(':')),
                                             vector.accessKey, vector.secretKey, vector.date);
        EXPECT_EQ(signedRequest.value("x-amz-date"), vector.expectedDate);
        EXPECT_EQ(signedRequest.value("Authorization"), vector.expectedAuthorization);
        EXPECT_EQ(SigV4Signer::regionFromHost(vector.host), vector.region);
    }
}

TEST(SigV4Signer, RegionFromGlacierHostsAndCanonicalQueryPathAndHeaders) {
    EXPECT_EQ(SigV4Signer::regionFromHost("glacier.eu-west-1.amazonaws.com"), "eu-west-1");
    EXPECT_EQ(SigV4Signer::regionFromHost("glacier.local-1.localhost:8080"), "local-1");
    EXPECT_EQ(SigV4Signer::regionFromHost("127.0.0.1:8765"), "us-east-1");
    EXPECT_EQ(SigV4Signer::regionFromHost("glacier.com"), "us-east-1");
    EXPECT_EQ(SigV4Signer::regionFromHost("s3.eu-west-1.amazonaws.com"), "us-east-1");
    EXPECT_EQ(SigV4Signer::regionFromHost(""), "us-east-1");
    EXPECT_EQ(SigV4Signer::canonicalQuery("marker=a%2fb:c&limit=1"), "limit=1&marker=a%2Fb%3Ac");
    EXPECT_EQ(SigV4Signer::canonicalQuery("b=%7e&a&a=2"), "a=&a=2&b=~");
    EXPECT_EQ(SigV4Signer::canonicalQuery("x=a+b%20c"), "x=a%2Bb%20c");
    EXPECT_EQ(SigV4Signer::canonicalQuery(""), "");
    EXPECT_EQ(SigV4Signer::canonicalQuery("&&"), "");
    // A stray "%" is kept as a character of its own.
    EXPECT_EQ(SigV4Signer::canonicalQuery("p=100%"), "p=100%25");
    EXPECT_EQ(SigV4Signer::canonicalURI(""), "/");
    EXPECT_EQ(SigV4Signer::canonicalURI("/-/vaults/my-vault_2.old"), "/-/vaults/my-vault_2.old");
    EXPECT_EQ(SigV4Signer::canonicalURI("/-/vaults/a%20b"), "/-/vaults/a%2520b");
    quillon::HeaderMap headers{{"X-Amz-Date", "20240101T000000Z"},
                               {"Host", "127.0.0.1:8765"},
                               {"x-amz-archive-description", "  two   blanks  "}};
    EXPECT_EQ(SigV4Signer::canonicalHeaders(headers),
              "host:127.0.0.1:8765\nx-amz-archive-description:two blanks\n"
              "x-amz-date:20240101T000000Z\n");
    EXPECT_EQ(SigV4Signer::signedHeaders(headers), "host;x-amz-archive-description;x-amz-date");
}

TEST(SigV4Signer, DeclaredPayloadHashAndFileWindowsAndResigningReplacesTheOldSignature) {
    GlacierRequestSerializer serializer;
    auto date = quillon::testing::parseISODate("2024-01-31T23:59:59Z");
    quillon::testing::TempDir dir;
    { std::ofstream(dir.file("data.bin"), std::ios::binary) << "0123456789abcdef"; }
    URLRequest inMemory("PUT", "http://127.0.0.1:8765/-/vaults/v/multipart-uploads/u");
    inMemory.setBody(std::string_view("456789"));
    URLRequest fromFile("PUT", "http://127.0.0.1:8765/-/vaults/v/multipart-uploads/u");
    fromFile.setBodyFileWindow({dir.file("data.bin"), 4, 6});
    auto a = serializer.prepareGlacierRequest(inMemory, std::nullopt, "AK", "SECRET", date);
    auto b = serializer.prepareGlacierRequest(fromFile, std::nullopt, "AK", "SECRET", date);
    EXPECT_EQ(a.value("Authorization"), b.value("Authorization"));
    EXPECT_EQ(a.value("Host"), "127.0.0.1:8765");

    // With a declared hash the body is never read: a missing file still signs the same way.
    const std::string declared = TreeHash::sha256Hex(std::string_view("456789"));
    URLRequest missing("PUT", "http://127.0.0.1:8765/-/vaults/v/multipart-uploads/u");
    missing.setBodyFileWindow({dir.file("absent.bin"), 4, 6});
    missing.setValue(declared, "x-amz-content-sha256");
    inMemory.setValue(declared, "x-amz-content-sha256");
    EXPECT_EQ(serializer.prepareGlacierRequest(missing, std::nullopt, "AK", "SECRET", date)
                  .value("Authorization"),
              serializer.prepareGlacierRequest(inMemory, std::nullopt, "AK", "SECRET", date)
                  .value("Authorization"));
    URLRequest plain = serializer.requestWithMethod("GET", "http://127.0.0.1:9/-/vaults");
    auto once = serializer.prepareGlacierRequest(plain, std::nullopt, "AK", "S", date);
    auto twice = serializer.prepareGlacierRequest(once, std::nullopt, "AK", "S", date);
    EXPECT_EQ(once.value("Authorization"), twice.value("Authorization"));
    EXPECT_EQ(twice.value("Authorization")->find("authorization"), std::string::npos);
}
