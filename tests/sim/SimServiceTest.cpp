// Tests of quillon-sim's service: signatures, regions, vaults, tags, policy, faults and seeding.
// Threads: run on the test's thread; the simulator is a separate process.
#include <gtest/gtest.h>

#include <fstream>

#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierRequestSerializer.h"
#include "interfaces/http/SigV4Signer.h"
#include "sim/SigV4Verifier.h"
#include "support/SigV4Vectors.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

namespace quillon::testing {
namespace {

class SimServiceTest : public ::testing::Test {
  protected:
    // A request signed by the client library, which writes the path the service's way, as at
    // `date`, and sent with no other header.
    HttpAnswer signedAt(std::chrono::system_clock::time_point date,
                        const std::string& path = "/-/vaults", const std::string& method = "GET",
                        bool withVersion = true) const {
        URLRequest request(method, sim.baseURL() + path.substr(1));
        if (withVersion) {
            request.setValue("2012-06-01", "x-amz-glacier-version");
        }
        auto signedRequest = GlacierRequestSerializer().prepareGlacierRequest(
            request, std::nullopt, sim.accessKey(), sim.secretKey(), date);
        std::vector<std::string> headers;
        for (const auto& [name, value] : signedRequest.headers()) {
            headers.push_back(name + ": " + value);
        }
        return SignedClient::plain(sim.baseURL()).send(method, path, "", headers);
    }

    Simulator sim;
};

TEST_F(SimServiceTest, AcceptsAnOffTheShelfSignerAndRejectsBadCredentialsOrStaleOrUnversioned) {
    EXPECT_EQ(sim.baseURL(), "http://127.0.0.1:" + std::to_string(sim.port()) + "/");
    HttpAnswer ok = sim.get("/-/vaults");
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_TRUE(ok.json()["VaultList"].is_array());

    // A wrong secret, an unknown key, and a signature for another region than the host names.
    const std::pair<SignedClient, std::string> refusals[] = {
        {SignedClient(sim.baseURL(), "us-east-1", sim.accessKey(), "not-the-secret"),
         "InvalidSignatureException"},
        {SignedClient(sim.baseURL(), "us-east-1", "AKIDUNKNOWN", sim.secretKey()),
         "UnrecognizedClientException"},
        {SignedClient(sim.regionURL("eu-test-1"), "us-east-1", sim.accessKey(), sim.secretKey()),
         "InvalidSignatureException"}};
    for (const auto& [client, code] : refusals) {
        HttpAnswer refused = client.get("/-/vaults");
        EXPECT_EQ(refused.status, 403);
        EXPECT_EQ(refused.json()["code"], code);
        EXPECT_EQ(refused.json()["type"], "Client");
        EXPECT_TRUE(refused.json()["message"].is_string());
    }

    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0]["signature"], "valid");
    EXPECT_EQ(log[1]["signature"], "invalid");
    EXPECT_EQ(log[2]["signature"], "unknown-key");
    EXPECT_EQ(log[3]["region"], "eu-test-1");
    EXPECT_EQ(log[3]["status"], 403);
    sim.clearRequestLog();
    EXPECT_TRUE(sim.requestLog().empty());

    // Stale signatures and requests without an API version are refused.
    using std::chrono::minutes;
    auto now = std::chrono::system_clock::now();
    EXPECT_EQ(signedAt(now).status, 200);
    for (auto date : {now - minutes(20), now + minutes(20)}) {
        HttpAnswer stale = signedAt(date);
        EXPECT_EQ(stale.status, 403);
        EXPECT_EQ(stale.json()["code"], "RequestTimeTooSkewed");
        EXPECT_NE(stale.json()["message"].get<std::string>().find("Signature expired"),
                  std::string::npos);
    }
    HttpAnswer unversioned = signedAt(now, "/-/vaults", "GET", false);
    EXPECT_EQ(unversioned.status, 400);
    EXPECT_EQ(unversioned.json()["code"], "MissingParameterValueException");
    EXPECT_EQ(sim.requestLog()[1]["signature"], "expired");
}

TEST_F(SimServiceTest, ChecksAndKeepsHeaderValuesAsSent) {
    ASSERT_EQ(sim.send("PUT", "/-/vaults/v").status, 201);
    for (std::string description : {"2019/Caf%C3%A9 Zo%C3%AB 100%25.jpg", "a  b.txt"}) {
        HttpAnswer stored =
            sim.storeArchive("v", "x", {"x-amz-archive-description: " + description});
        ASSERT_EQ(stored.status, 201) << description << stored.body;
        std::string job = sim.startJob(
            "v", {{"Type", "archive-retrieval"}, {"ArchiveId", stored.header("x-amz-archive-id")}});
        HttpAnswer output = sim.get("/-/vaults/v/jobs/" + job + "/output");
        EXPECT_EQ(output.body, "x");
        EXPECT_EQ(output.header("x-amz-archive-description"), description);
    }
}

// Every reference vector passes the simulator's verifier as sent, within the allowed clock
// skew, and fails once its path, a header value or the clock is off.
TEST(SimVerifierTest, AcceptsEveryReferenceVectorAsSentAndNothingElse) {
    using sim::SigV4Verifier;
    using std::chrono::minutes;
    auto vectors = loadSigV4Vectors();
    ASSERT_GE(vectors.size(), 22u);
    for (const auto& vector : vectors) {
        SCOPED_TRACE(vector.name);
        sim::HttpRequest request{vector.method, vector.target(), {}};
        for (const auto& [name, value] : vector.headers) {
            request.headers.emplace(name, value);
        }
        request.headers.emplace("X-Amz-Date", vector.expectedDate);
        request.headers.emplace("Authorization", vector.expectedAuthorization);
        SigV4Verifier verifier(vector.accessKey, vector.secretKey);
        auto verdict = [&](const sim::HttpRequest& sent, std::chrono::minutes skew) {
            return verifier.verify(sent, vector.bodySha256, vector.region, vector.date + skew)
                .verdict;
        };
        EXPECT_EQ(verdict(request, minutes(0)), SigV4Verifier::Verdict::Valid);
        EXPECT_EQ(verdict(request, minutes(14)), SigV4Verifier::Verdict::Valid);
        EXPECT_EQ(verdict(request, minutes(-14)), SigV4Verifier::Verdict::Valid);
        EXPECT_EQ(verdict(request, minutes(20)), SigV4Verifier::Verdict::Expired);
        EXPECT_EQ(verdict(request, minutes(-20)), SigV4Verifier::Verdict::Expired);

        // The same path written another way is another path.
        sim::HttpRequest respelled = request;
        respelled.target = "/%2D" + request.target.substr(2);
        EXPECT_EQ(verdict(respelled, minutes(0)), SigV4Verifier::Verdict::BadSignature);
        // A header value decoded or changed on the way is not the value that was signed.
        sim::HttpRequest decoded = request;
        for (auto& [name, value] : decoded.headers) {
            value = SigV4Signer::percentDecode(value);
        }
        if (decoded.headers != request.headers) {
            EXPECT_EQ(verdict(decoded, minutes(0)), SigV4Verifier::Verdict::BadSignature);
        }
        sim::HttpRequest changed = request;
        changed.headers.find("x-amz-glacier-version")->second += "0";
        EXPECT_EQ(verdict(changed, minutes(0)), SigV4Verifier::Verdict::BadSignature);
    }
}

TEST_F(SimServiceTest, KeepsSeparateStatePerRegionHost) {
    ASSERT_EQ(sim.client("local-1").send("PUT", "/-/vaults/only-here").status, 201);
    EXPECT_EQ(sim.client("local-1").get("/-/vaults").json()["VaultList"].size(), 1u);
    EXPECT_EQ(sim.client("local-2").get("/-/vaults").json()["VaultList"].size(), 0u);
    EXPECT_EQ(sim.get("/-/vaults/only-here").status, 404);
    EXPECT_EQ(sim.client("local-1").get("/-/vaults/only-here").json()["VaultARN"],
              "arn:aws:glacier:local-1:123456789012:vaults/only-here");
}

TEST_F(SimServiceTest, PagesVaultsInAsciiOrderWithOpaqueMarkers) {
    for (const std::string name :
         {"b", "B", "a", "A", "_x", "0", "z", "v0", "v1", "v2", "v3", "v4"}) {
        ASSERT_EQ(sim.send("PUT", "/-/vaults/" + name).status, 201);
    }
    auto first = sim.get("/-/vaults").json();
    ASSERT_EQ(first["VaultList"].size(), 10u);
    EXPECT_EQ(first["VaultList"][0]["VaultName"], "0");
    EXPECT_EQ(first["VaultList"][1]["VaultName"], "A");
    EXPECT_EQ(first["VaultList"][3]["VaultName"], "_x");
    ASSERT_TRUE(first["Marker"].is_string());
    auto second =
        sim.get("/-/vaults?marker=" + SigV4Signer::uriEncode(first["Marker"].get<std::string>()))
            .json();
    ASSERT_EQ(second["VaultList"].size(), 2u);
    EXPECT_EQ(second["VaultList"][1]["VaultName"], "z");
    EXPECT_TRUE(second["Marker"].is_null());

    auto small = sim.get("/-/vaults?limit=3").json();
    EXPECT_EQ(small["VaultList"].size(), 3u);
    EXPECT_EQ(sim.get("/-/vaults?limit=0").status, 400);
    EXPECT_EQ(sim.get("/-/vaults?marker=bogus").status, 400);
}

TEST_F(SimServiceTest, CreatesIdempotentlyDescribesAndRefusesToDeleteFullVaults) {
    EXPECT_EQ(sim.send("PUT", "/-/vaults/photos").status, 201);
    HttpAnswer again = sim.send("PUT", "/-/vaults/photos");
    EXPECT_EQ(again.status, 201);
    EXPECT_EQ(again.header("Location"), "/-/vaults/photos");
    EXPECT_EQ(signedAt(std::chrono::system_clock::now(), "/-/vaults/bad%20name", "PUT").status,
              400);

    auto described = sim.get("/-/vaults/photos").json();
    EXPECT_EQ(described["VaultName"], "photos");
    EXPECT_EQ(described["NumberOfArchives"], 0);
    EXPECT_TRUE(described["LastInventoryDate"].is_null());

    sim.seed({{"vault", "photos"}, {"count", 2}, {"size", 10}});
    described = sim.get("/-/vaults/photos").json();
    EXPECT_EQ(described["NumberOfArchives"], 2);
    EXPECT_EQ(described["SizeInBytes"], 20);
    HttpAnswer refused = sim.send("DELETE", "/-/vaults/photos");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.json()["code"], "InvalidParameterValueException");

    EXPECT_EQ(sim.send("PUT", "/-/vaults/empty").status, 201);
    EXPECT_EQ(sim.send("DELETE", "/-/vaults/empty").status, 204);
    HttpAnswer gone = sim.get("/-/vaults/empty");
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.json()["code"], "ResourceNotFoundException");
}

TEST_F(SimServiceTest, TagsAreLimitedToTen) {
    ASSERT_EQ(sim.send("PUT", "/-/vaults/tagged").status, 201);
    nlohmann::json add = {{"Tags", {{"owner", "ann"}, {"team", "ops"}, {"tier", "cold"}}}};
    EXPECT_EQ(sim.send("POST", "/-/vaults/tagged/tags?operation=add", add.dump()).status, 204);
    nlohmann::json remove = {{"TagKeys", {"team"}}};
    EXPECT_EQ(sim.send("POST", "/-/vaults/tagged/tags?operation=remove", remove.dump()).status,
              204);
    auto tags = sim.get("/-/vaults/tagged/tags").json()["Tags"];
    EXPECT_EQ(tags, nlohmann::json({{"owner", "ann"}, {"tier", "cold"}}));

    nlohmann::json many = {{"Tags", nlohmann::json::object()}};
    for (int i = 0; i < 9; ++i) {
        many["Tags"]["k" + std::to_string(i)] = "v";
    }
    HttpAnswer tooMany = sim.send("POST", "/-/vaults/tagged/tags?operation=add", many.dump());
    EXPECT_EQ(tooMany.status, 400);
    EXPECT_EQ(tooMany.json()["code"], "LimitExceededException");
    EXPECT_EQ(sim.get("/-/vaults/tagged/tags").json()["Tags"].size(), 2u);
    // Replacing a value does not count as a new tag.
    nlohmann::json replace = {{"Tags", {{"owner", "bob"}}}};
    EXPECT_EQ(sim.send("POST", "/-/vaults/tagged/tags?operation=add", replace.dump()).status, 204);
    EXPECT_EQ(sim.get("/-/vaults/missing/tags").status, 404);
}

TEST_F(SimServiceTest, ValidatesTheDataRetrievalPolicy) {
    auto fresh = sim.get("/-/policies/data-retrieval").json();
    EXPECT_EQ(fresh["Policy"]["Rules"][0]["Strategy"], "FreeTier");

    nlohmann::json bytes = {
        {"Policy", {{"Rules", {{{"Strategy", "BytesPerHour"}, {"BytesPerHour", 10737418240}}}}}}};
    EXPECT_EQ(sim.send("PUT", "/-/policies/data-retrieval", bytes.dump()).status, 204);
    auto rule = sim.get("/-/policies/data-retrieval").json()["Policy"]["Rules"][0];
    EXPECT_EQ(rule["Strategy"], "BytesPerHour");
    EXPECT_EQ(rule["BytesPerHour"], 10737418240);

    for (const char* bad : {R"({"Policy":{"Rules":[{"Strategy":"freetier"}]}})",
                            R"({"Policy":{"Rules":[{"Strategy":"BytesPerHour"}]}})",
                            R"({"Policy":{"Rules":[{"Strategy":"None","BytesPerHour":5}]}})",
                            R"({"Policy":{"Rules":[]}})", "not json"}) {
        EXPECT_EQ(sim.send("PUT", "/-/policies/data-retrieval", bad).status, 400) << bad;
    }
    auto other = sim.client("other-1").get("/-/policies/data-retrieval").json();
    EXPECT_EQ(other["Policy"]["Rules"][0]["Strategy"], "FreeTier");
}

TEST_F(SimServiceTest, RespondFaultsReplaceTheAnswerForTheNextMatchingRequests) {
    sim.injectFault(R"({"status": 400, "code": "ThrottlingException", "count": 2, "method": "GET",
                        "path": "/vaults"})"_json);
    EXPECT_EQ(sim.send("PUT", "/-/vaults/a").status, 201);  // not matched
    HttpAnswer throttled = sim.get("/-/vaults");
    EXPECT_EQ(throttled.status, 400);
    EXPECT_EQ(throttled.json()["code"], "ThrottlingException");
    EXPECT_EQ(sim.get("/-/vaults").status, 400);
    EXPECT_EQ(sim.get("/-/vaults").status, 200);

    sim.injectFault(nlohmann::json::array({{{"status", 403}, {"body", ""}},
                                           {{"status", 500}, {"body", "<html>oops</html>"}},
                                           {{"status", 500}, {"code", 17}},
                                           {{"status", 200}, {"body", ""}}}));
    HttpAnswer noBody = sim.get("/-/vaults");
    EXPECT_EQ(noBody.status, 403);
    EXPECT_TRUE(noBody.body.empty());
    EXPECT_EQ(sim.get("/-/vaults").body, "<html>oops</html>");
    EXPECT_EQ(sim.get("/-/vaults").json()["code"], 17);
    HttpAnswer empty = sim.get("/-/vaults");
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.body.empty());

    auto log = sim.requestLog();
    EXPECT_EQ(log.back()["fault"], "respond");
    EXPECT_FALSE(log[0].contains("fault"));
}

TEST_F(SimServiceTest, DropWrongHashAndClearedFaults) {
    ASSERT_EQ(sim.send("PUT", "/-/vaults/v").status, 201);
    sim.injectFault({{"kind", "drop"}, {"path", "/-/vaults/v"}});
    HttpAnswer dropped = sim.get("/-/vaults/v");
    EXPECT_FALSE(dropped.transportError.empty());
    EXPECT_EQ(sim.get("/-/vaults/v").status, 200);

    sim.injectFault({{"kind", "wrong-tree-hash"}});
    std::string bytes = "hello";
    HttpAnswer upload = sim.storeArchive("v", bytes);
    EXPECT_EQ(upload.status, 201);
    EXPECT_FALSE(upload.header("x-amz-sha256-tree-hash").empty());
    EXPECT_NE(upload.header("x-amz-sha256-tree-hash"), TreeHash::treeHashOfBuffer(bytes));

    sim.injectFault({{"kind", "delay"}, {"delayMs", 50}, {"count", -1}});
    sim.clearFaults();
    EXPECT_EQ(sim.get("/-/vaults").status, 200);
    EXPECT_EQ(sim.requestLog().back().count("fault"), 0u);
    EXPECT_THROW(sim.injectFault({{"kind", "explode"}}), std::runtime_error);
}

TEST_F(SimServiceTest, SeedsManyArchivesForAnInventory) {
    auto seeded = sim.seed({{"vault", "big"}, {"count", 5000}, {"size", 3}, {"prefix", "f/"}});
    EXPECT_EQ(seeded["count"], 5000);
    EXPECT_EQ(sim.get("/-/vaults/big").json()["NumberOfArchives"], 5000);
    std::string job = sim.startJob("big", {{"Type", "inventory-retrieval"}});
    auto inventory = sim.get("/-/vaults/big/jobs/" + job + "/output").json();
    ASSERT_EQ(inventory["ArchiveList"].size(), 5000u);
    EXPECT_EQ(inventory["ArchiveList"][4999]["ArchiveDescription"], "f/4999");
    EXPECT_EQ(inventory["ArchiveList"][0]["SHA256TreeHash"], TreeHash::treeHashOfBuffer("qqq"));
}

TEST(SimStartTest, RefusesADataDirectoryThatIsAFile) {
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_THROW(Simulator({.dataDir = dir.file("plain")}), std::runtime_error);
}

}  // namespace
}  // namespace quillon::testing
