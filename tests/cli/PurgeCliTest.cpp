// Tests of `vault purge` and `verify`: refusals, dry runs, uploads left alone, throttling, a
// purge killed and resumed, the vault's deletion, and local files compared with an inventory.
// Threads: run on the test's thread; quillon and the simulator are child processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "foundation/ChildProcess.h"
#include "interfaces/db/Database.h"
#include "support/BuildPaths.h"
#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A vault "photos" whose archives are in an imported inventory.
class PurgeCliTest : public CliFixture {
  protected:
    explicit PurgeCliTest(Simulator::Options options = simulatorWithJobDelay(0.2))
        : CliFixture(std::move(options)) {}

    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 0}});
    }

    void seedAndImport(int count) {
        if (count > 0) {
            sim.seed({{"vault", "photos"}, {"count", count}, {"size", 3}, {"prefix", "old/f-"}});
        }
        std::string jobId = runJSON({"job", "inventory", "--vault", "photos"}).at("jobId");
        waitForJob(jobId);
        runJSON({"inventory", "import", "--vault", "photos", "--job", jobId});
    }

    CliResult purge(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--json", "vault", "purge", "photos", "--yes"};
        args.insert(args.end(), extra.begin(), extra.end());
        return cli.run(args);
    }

    // Journalled deletions per archive id.
    std::map<std::string, int> journalled() {
        Database db(accountDirectory() + "/Store.db");
        EXPECT_TRUE(db.openWithFlags(SQLITE_OPEN_READONLY));
        std::map<std::string, int> counts;
        auto rows = db.executeQuery(
            "SELECT archive_id, COUNT(*) FROM archives WHERE action = 'delete' GROUP BY "
            "archive_id");
        while (rows && rows->next()) {
            counts[rows->stringForColumn(0).value_or("")] =
                static_cast<int>(rows->longForColumn(1));
        }
        return counts;
    }

    // The archive ids of the logged DELETE requests, with `okOnly` those the service confirmed.
    std::multiset<std::string> deleted(bool okOnly) {
        std::multiset<std::string> ids;
        for (const auto& entry : sim.requestLog()) {
            std::string target = entry["target"];
            auto at = target.find("/archives/");
            if (entry["method"] == "DELETE" && at != std::string::npos &&
                (!okOnly || entry["status"].get<int>() < 300)) {
                ids.insert(target.substr(at + 10));
            }
        }
        return ids;
    }

    static void expectCounts(const json& document, int archives, int deletedCount) {
        EXPECT_EQ(document["archives"], archives) << document;
        EXPECT_EQ(document["deleted"], deletedCount) << document;
        EXPECT_EQ(document["remaining"], archives - deletedCount) << document;
    }
};

TEST_F(PurgeCliTest, AsksListsInDryRunAndLeavesLaterUploadsAlone) {
    seedAndImport(40);
    FileHelpers::writeFile(temp.file("fresh.txt"), "new");
    std::string freshId =
        runJSON({"upload", temp.file("fresh.txt"), "--vault", "photos"}).at(0).at("archiveId");

    runFails({"vault", "purge", "photos"}, 1, "--yes");
    CliResult dry = runOK({"vault", "purge", "photos", "--dry-run", "--delete-vault"});
    EXPECT_EQ(occurrences(dry.out, "  old/f-"), 40);
    EXPECT_THAT(dry.out, HasSubstr("Would delete 40 archives"));
    EXPECT_THAT(dry.err, HasSubstr("Left alone (uploaded after the inventory was taken): " +
                                   freshId + "  fresh.txt"));
    json planned = runJSON({"vault", "purge", "photos", "--dry-run"});
    expectCounts(planned, 40, 0);
    EXPECT_EQ(planned["kept"],
              json::parse(R"([{"archiveId": ")" + freshId + R"(", "path": "fresh.txt"}])"));
    expectCounts(runJSON({"vault", "purge", "photos", "--dry-run", "--older-than", "1"}), 0, 0);
    EXPECT_TRUE(deleted(false).empty());

    // The vault cannot go while the later upload is in it: pending, exit 75.
    CliResult first = purge({"--delete-vault"});
    EXPECT_EQ(first.exitCode, 75) << first.err;
    EXPECT_THAT(first.err, HasSubstr("run the same command again later"));
    json document = json::parse(first.out);
    expectCounts(document, 40, 40);
    EXPECT_EQ(document["vaultDeleted"], false);
    EXPECT_EQ(document["vaultPending"], true);
    EXPECT_EQ(deleted(true).size(), 40u);
    EXPECT_EQ(deleted(false).count(freshId), 0u);
    // The local inventory shows them gone at once; the later upload stays.
    json listed = runJSON({"inventory", "find", "--vault", "photos", "f"});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["archiveId"], freshId);

    // Nothing is sent again; the pending vault is tried again without being asked.
    runOK({"delete", freshId, "--vault", "photos"});
    sim.clearRequestLog();
    CliResult second = purge();
    EXPECT_EQ(second.exitCode, 0) << second.err;
    document = json::parse(second.out);
    expectCounts(document, 40, 40);
    EXPECT_EQ(document["deletedNow"], 0);
    EXPECT_EQ(document["vaultDeleted"], true);
    EXPECT_EQ(sim.countRequests("DELETE", "/archives/"), 0);
    EXPECT_EQ(sim.countRequests("DELETE", "/-/vaults/photos", true), 1);
    EXPECT_FALSE(fs::exists(accountDirectory() + "/Vaults.local-1/photos"));
    runFails({"vault", "purge", "photos", "--yes"}, 2, "no imported inventory");
}

TEST_F(PurgeCliTest, OnATerminalItAsksForTheNameAndDrawsItsProgressInEightyColumns) {
    seedAndImport(30);
    auto mistyped = runOnTerminal({"vault", "purge", "photos"}, "photo\n");
    EXPECT_EQ(mistyped.exitCode, 1);
    EXPECT_THAT(::testing::PrintToString(mistyped.lines), HasSubstr("Type the vault's name"));
    EXPECT_TRUE(deleted(false).empty());

    auto shown = runOnTerminal({"vault", "purge", "photos"}, "photos\n");
    EXPECT_EQ(shown.exitCode, 0) << ::testing::PrintToString(shown.lines);
    const auto drawn = shown.linesWith("Deleting");
    EXPECT_FALSE(drawn.empty()) << ::testing::PrintToString(shown.lines);
    for (const std::string& line : drawn) {
        EXPECT_LE(line.size(), 79u) << line;
        EXPECT_THAT(line, ::testing::ContainsRegex("[0-9]+% [0-9]+/30"));
    }
    EXPECT_EQ(deleted(true).size(), 30u);
}

TEST_F(PurgeCliTest, ThrottledKilledAndResumedDeletesEveryArchiveOnce) {
    seedAndImport(300);
    sim.clearRequestLog();
    // Five deletions are throttled, then (faults apply one after the other) the 126th request
    // is held at the service, and the purge is killed meanwhile.
    sim.injectFault({{"status", 400},
                     {"code", "ThrottlingException"},
                     {"message", "Rate exceeded"},
                     {"type", "Client"},
                     {"method", "DELETE"},
                     {"after", 20},
                     {"count", 5}});
    sim.injectFault({{"kind", "delay"}, {"method", "DELETE"}, {"after", 100}, {"delayMs", 4000}});
    {
        BackgroundProcess run(cliProgram(),
                              {"--home", cli.home(), "vault", "purge", "photos", "--yes"},
                              std::chrono::milliseconds(0));
        for (int look = 0; look < 6000 && sim.countRequests("DELETE", "/archives/") < 120; ++look) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(kill(run.pid(), SIGKILL), 0);
    }
    std::multiset<std::string> firstConfirmed = deleted(true);
    std::map<std::string, int> before = journalled();
    ASSERT_GE(before.size(), 1u);
    ASSERT_LT(before.size(), 300u);
    // At most what was in flight when it died was confirmed but not recorded.
    EXPECT_LE(firstConfirmed.size() - before.size(), 48u);
    for (const auto& [id, count] : before) {
        EXPECT_EQ(count, 1) << id;
        EXPECT_EQ(firstConfirmed.count(id), 1u) << id;
    }

    sim.clearRequestLog();
    sim.injectFault({{"status", 400},
                     {"code", "ThrottlingException"},
                     {"message", "Rate exceeded"},
                     {"type", "Client"},
                     {"method", "DELETE"},
                     {"count", 6}});
    CliResult resumed = purge();
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    json document = json::parse(resumed.out);
    expectCounts(document, 300, 300);
    EXPECT_EQ(document["throttled"], 6);
    EXPECT_EQ(document["failed"], 0);
    EXPECT_EQ(document["deletedNow"], 300 - static_cast<int>(before.size()));

    // The second run asked only for what the first had not confirmed, and no archive was
    // deleted twice.
    std::multiset<std::string> second = deleted(false);
    std::set<std::string> targets(second.begin(), second.end());
    EXPECT_EQ(targets.size(), 300 - before.size());
    for (const std::string& id : targets) {
        EXPECT_EQ(before.count(id), 0u) << id;
    }
    for (const std::string& id : deleted(true)) {
        EXPECT_EQ(firstConfirmed.count(id), 0u) << id;
    }
    std::map<std::string, int> after = journalled();
    EXPECT_EQ(after.size(), 300u);
    for (const auto& [id, count] : after) {
        EXPECT_EQ(count, 1) << id;
    }
}

// The service on its own clock: it takes each vault's inventory at midnight, and refuses to
// delete a vault that its last inventory still fills.
class PurgeClockTest : public PurgeCliTest {
  protected:
    PurgeClockTest() : PurgeCliTest(simulatorOnItsClock()) {}
};

TEST_F(PurgeClockTest, TheVaultGoesOnceTheServicesNextInventoryFindsItEmpty) {
    sim.seed({{"vault", "photos"}, {"count", 20}, {"size", 3}, {"prefix", "old/f-"}});
    sim.advanceClock(24 * 3600);
    std::string jobId = runJSON({"job", "inventory", "--vault", "photos"}).at("jobId");
    sim.advanceClock(6 * 3600);
    waitForJob(jobId);
    // The simulated midnight is ahead of this machine's clock.
    runJSON({"inventory", "import", "--vault", "photos", "--job", jobId, "--force"});

    // Emptied, but the service's inventory still lists the archives until the next midnight.
    for (int run = 0; run < 2; ++run) {
        CliResult pending = purge(run == 0 ? std::vector<std::string>{"--delete-vault"}
                                           : std::vector<std::string>{});
        EXPECT_EQ(pending.exitCode, 75) << pending.err;
        json document = json::parse(pending.out);
        expectCounts(document, 20, 20);
        EXPECT_EQ(document["vaultPending"], true);
    }
    EXPECT_EQ(deleted(true).size(), 20u);
    EXPECT_TRUE(fs::exists(accountDirectory() + "/Vaults.local-1/photos"));

    sim.advanceClock(24 * 3600);
    CliResult done = purge();
    EXPECT_EQ(done.exitCode, 0) << done.err;
    EXPECT_EQ(json::parse(done.out)["vaultDeleted"], true);
    EXPECT_EQ(deleted(false).size(), 20u);
    EXPECT_FALSE(fs::exists(accountDirectory() + "/Vaults.local-1/photos"));
}

TEST_F(PurgeCliTest, VerifyFindsOneChangedOneMissingAndOneExtraFile) {
    fs::create_directories(temp.file("tree/sub"));
    FileHelpers::writeFile(temp.file("tree/a.txt"), "aaa");
    FileHelpers::writeFile(temp.file("tree/sub/b.txt"), "bb");
    FileHelpers::writeFile(temp.file("tree/sub/c.txt"), "c");
    runOK({"upload", temp.file("tree"), "--vault", "photos", "--folder", "backup"});
    seedAndImport(0);
    const std::vector<std::string> verify = {"--json", "verify",   temp.file("tree"), "--vault",
                                             "photos", "--folder", "backup/tree"};
    CliResult same = cli.run(verify);
    ASSERT_EQ(same.exitCode, 0) << same.err;
    EXPECT_EQ(json::parse(same.out)["same"].size(), 3u);

    FileHelpers::writeFile(temp.file("tree/a.txt"), "abc");  // same size, other bytes
    FileHelpers::writeFile(temp.file("tree/new.txt"), "n");
    fs::remove(temp.file("tree/sub/c.txt"));
    CliResult differs = cli.run(verify);
    ASSERT_EQ(differs.exitCode, 3) << differs.err;
    EXPECT_EQ(json::parse(differs.out), json::parse(R"({"same": ["sub/b.txt"],
        "changed": ["a.txt"], "missing": ["new.txt"], "extra": ["sub/c.txt"]})"));
    CliResult text = cli.run(
        {"verify", temp.file("tree/sub"), "--vault", "photos", "--folder", "/backup/tree/sub/"});
    EXPECT_EQ(text.exitCode, 3);
    EXPECT_EQ(text.out,
              "extra   c.txt\n1 same, 0 changed, 0 missing from the vault, 1 only in "
              "the vault.\n");
}

}  // namespace
}  // namespace quillon::testing
