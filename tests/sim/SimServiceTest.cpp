// Tests of quillon-sim's service: signatures, regions, vaults, tags, policy, faults, seeding, and
// the program's own options.
// Threads: run on the test's thread; the simulator is a separate process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "foundation/ChildProcess.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierRequestSerializer.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/SigV4Signer.h"
#include "sim/SigV4Verifier.h"
#include "support/BuildPaths.h"
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

// Sends `head` (a request line and headers) on a connection of its own and reads the answer
// until the server closes the connection; a bounded wait.
std::string exchangeRaw(int port, const std::string& head) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval bound{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
        char buffer[4096];
        for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return answer;
}

TEST_F(SimServiceTest, RefusesAHugeBodyItCannotAcceptWithoutWaitingForIt) {
    ASSERT_EQ(sim.send("PUT", "/-/vaults/v").status, 201);
    // Headers of an upload, signed with `secret`, with or without a claimed payload hash.
    auto signedHead = [&](const std::string& secret, bool claimHash) {
        URLRequest request("POST", sim.baseURL() + "-/vaults/v/archives");
        request.setValue("2012-06-01", "x-amz-glacier-version");
        request.setValue(std::string(64, '0'), "x-amz-sha256-tree-hash");
        if (claimHash) {
            request.setValue(std::string(64, 'a'), "x-amz-content-sha256");
        }
        auto signedRequest = GlacierRequestSerializer().prepareGlacierRequest(
            request, std::nullopt, sim.accessKey(), secret, std::chrono::system_clock::now());
        std::string head;
        for (const auto& [name, value] : signedRequest.headers()) {
            head += name + ": " + value + "\r\n";
        }
        return head;
    };
    const std::string start = "POST /-/vaults/v/archives HTTP/1.1\r\nContent-Length: 314572800\r\n";
    const std::string host = "Host: 127.0.0.1:" + std::to_string(sim.port()) + "\r\n";
    struct Case {
        std::string head;
        const char* status;
        const char* code;
        const char* signature;
    };
    const Case cases[] = {
        {start + host + "x-amz-glacier-version: 2012-06-01\r\n", "403",
         "MissingAuthenticationTokenException", "missing"},
        {start + signedHead("not-the-secret", true), "403", "InvalidSignatureException", "invalid"},
        {start + signedHead(sim.secretKey(), false), "400", "MissingParameterValueException",
         "unchecked"}};
    sim.clearRequestLog();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        // Not a byte of the 300 MB is sent: the answer comes all the same.
        std::string answer = exchangeRaw(sim.port(), c.head + "\r\n");
        EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status);
        EXPECT_NE(answer.find(c.code), std::string::npos) << answer;
    }
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i]["signature"], cases[i].signature);
    }
    EXPECT_EQ(sim.get("/-/vaults/v").json()["NumberOfArchives"], 0);

    // A client that sends all of a refused body without waiting still reads the refusal.
    GlacierRequestSerializer serializer;
    URLRequest upload = serializer.requestWithMethod("POST", sim.baseURL() + "-/vaults/v/archives");
    std::string bytes = patternBytes(3 * 1048576);
    upload.setBody(bytes);
    upload.setValue(TreeHash::treeHashOfBuffer(bytes), "x-amz-sha256-tree-hash");
    upload.setValue(TreeHash::sha256Hex(bytes), "x-amz-content-sha256");
    auto operation = RequestOperation::create(
        serializer.prepareGlacierRequest(upload, std::nullopt, sim.accessKey(), "not-the-secret",
                                         std::chrono::system_clock::now()),
        nullptr, nullptr);
    operation->start();
    EXPECT_EQ(operation->response().statusCode, 403);
}

TEST_F(SimServiceTest, SeedCountsAreBounded) {
    auto seed = [&](const nlohmann::json& request) {
        return SignedClient::plain(sim.baseURL())
            .send("POST", "_sim/seed", request.dump(), {"Content-Type: application/json"});
    };
    for (const nlohmann::json& count : {nlohmann::json(1000001), nlohmann::json(-1),
                                        nlohmann::json("many"), nlohmann::json(1e9)}) {
        HttpAnswer refused = seed({{"vault", "s"}, {"count", count}});
        EXPECT_EQ(refused.status, 400) << count;
        EXPECT_EQ(refused.json()["code"], "InvalidSeed");
        EXPECT_NE(refused.json()["message"].get<std::string>().find("from 0 to 1000000"),
                  std::string::npos);
    }
    EXPECT_EQ(seed({{"vault", "s"}, {"size", 64 * 1048576 + 1}}).status, 400);
    EXPECT_EQ(seed({{"vault", "s"}, {"count", 2}}).status, 200);
}

TEST(SimRegionTest, ServesOneRegionAndRefusesSignaturesForAnother) {
    Simulator::Options options;
    options.region = "eu-west-3";
    Simulator sim(options);
    ASSERT_EQ(sim.send("PUT", "/-/vaults/here").status, 201);
    EXPECT_EQ(sim.get("/-/vaults/here").json()["VaultARN"],
              "arn:aws:glacier:eu-west-3:123456789012:vaults/here");
    EXPECT_EQ(sim.seed({{"vault", "seeded"}})["region"], "eu-west-3");
    for (const auto& other :
         {SignedClient(sim.baseURL(), "us-east-1", sim.accessKey(), sim.secretKey()),
          sim.client("us-west-2")}) {
        HttpAnswer refused = other.get("/-/vaults");
        EXPECT_EQ(refused.status, 403);
        EXPECT_EQ(refused.json()["code"], "InvalidSignatureException");
        EXPECT_NE(refused.json()["message"].get<std::string>().find("valid region"),
                  std::string::npos);
    }
    EXPECT_EQ(sim.requestLog().back()["region"], "eu-west-3");
    EXPECT_THROW(Simulator({.region = "../up"}), std::runtime_error);
}

TEST(SimProgramTest, AnswersVersionAndHelpAsQuillonDoes) {
    ChildResult version = runChild(simulatorProgram(), {"--version"});
    ChildResult quillonVersion = runChild(cliProgram(), {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    ASSERT_EQ(quillonVersion.out.rfind("quillon ", 0), 0u);
    EXPECT_EQ(version.out, "quillon-sim" + quillonVersion.out.substr(7));
    ChildResult help = runChild(simulatorProgram(), {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--version", "--job-delay", "--region", "--delete-rate",
                               "--free-tier-bytes-per-day", "/_sim/clock"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

TEST(SimStartTest, RefusesADataDirectoryThatIsAFile) {
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_THROW(Simulator({.dataDir = dir.file("plain")}), std::runtime_error);
}

}  // namespace
}  // namespace quillon::testing
