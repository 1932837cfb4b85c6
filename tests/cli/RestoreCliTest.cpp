// Tests of quillon restore against the simulator: the stored plan, jobs, pacing, downloads,
// collisions, the cron exit codes and the documents.
// Threads: run on the test's thread; quillon and the simulator are child processes (a kill
//   comes from the watcher of quillon's standard error, on the thread that runs it).
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "interfaces/db/Database.h"
#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

class RestoreCliTest : public CliFixture {
  protected:
    struct Stored {
        std::string id;
        std::string path;
        std::string bytes;
        std::string created;
    };

    explicit RestoreCliTest(Simulator::Options options = simulatorWithJobDelay(0.2))
        : CliFixture(std::move(options)) {}

    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 0}});
        setPrefs({{"downloadPartSize", "1"}, {"maxConcurrentDownloads", "3"}});
    }

    std::string store(const std::string& path, const std::string& bytes,
                      const std::string& created = "2026-01-01T00:00:00Z") {
        HttpAnswer answer =
            sim.storeArchive("photos", bytes, {"x-amz-archive-description: " + path});
        EXPECT_EQ(answer.status, 201) << answer.body;
        stored.push_back({answer.header("x-amz-archive-id"), path, bytes, created});
        return stored.back().id;
    }

    // Imports an inventory of the vault that lists every stored archive.
    void importInventory() {
        // The service's key order: the import reads the document as it streams.
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const Stored& each : stored) {
            list.push_back({{"ArchiveId", each.id},
                            {"ArchiveDescription", each.path},
                            {"CreationDate", each.created},
                            {"Size", each.bytes.size()},
                            {"SHA256TreeHash", TreeHash::treeHashOfBuffer(each.bytes)}});
        }
        const std::string file = temp.file("inventory.json");
        std::ofstream(file) << nlohmann::ordered_json{
            {"VaultARN", runJSON({"vault", "describe", "photos"})["arn"]},
            {"InventoryDate", "2026-03-01T00:00:00Z"},
            {"ArchiveList", list}}.dump();
        runOK({"inventory", "import", "--vault", "photos", "--file", file});
    }

    // `quillon --json restore --vault photos args...`, expecting `exitCode`; its document.
    json restore(std::vector<std::string> args, int exitCode, const CliRunner* runner = nullptr) {
        args.insert(args.begin(), {"--json", "restore", "--vault", "photos"});
        CliResult result = (runner ? *runner : cli).run(args);
        EXPECT_EQ(result.exitCode, exitCode) << result.err << result.out;
        return json::parse(result.out, nullptr, false);
    }
    json waitFor(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--wait", "--interval", "0.05", "--timeout", "60"});
        return restore(args, 0);
    }

    std::string planFile() { return accountDirectory() + "/Vaults.local-1/photos/restore.db"; }
    int initiated() { return sim.countRequests("POST", "/jobs", true); }
    static std::int64_t in(const json& document, const std::string& state) {
        return document["states"][state]["archives"].get<std::int64_t>();
    }

    std::vector<Stored> stored;
    const std::string to = temp.file("restored");
};

TEST_F(RestoreCliTest, PlansAFolderWithCollisionsAndGoesOnUntilEveryFileIsInPlace) {
    const std::string big = patternBytes(3 * 1048576 + 5000);
    store("trip/big.bin", big);
    const std::string older = store("trip/note.txt", "old note", "2025-01-01T00:00:00Z");
    const std::string newer = store("trip/note.txt", "new note", "2026-02-01T00:00:00Z");
    store("other/skip.txt", "not asked for");
    store("trip/", "0");
    importInventory();

    // A dry run counts, prices and plans nothing.
    json dry = restore({"trip/", "--to", to, "--dry-run", "--max-bytes-per-day", "1MiB"}, 0);
    EXPECT_EQ(dry["archives"], 2);
    EXPECT_EQ(dry["bytes"], big.size() + 8);
    EXPECT_EQ(dry["estimate"]["jobs"], 2);
    EXPECT_EQ(dry["estimate"]["requests"], 2 + 4 + 1);
    EXPECT_EQ(dry["estimate"]["days"], 4);
    EXPECT_NEAR(dry["estimate"]["cost"]["Expedited"].get<double>(),
                (big.size() + 8) / 1073741824.0 * 0.03 + 0.02, 1e-4);
    EXPECT_EQ(dry["collisions"].size(), 1U);
    EXPECT_EQ(dry["collisions"][0]["archiveId"], older);
    EXPECT_EQ(dry["collisions"][0]["keptArchiveId"], newer);
    EXPECT_FALSE(fs::exists(planFile()));
    EXPECT_EQ(restore({"--status"}, 0)["archives"], 0);
    EXPECT_EQ(initiated(), 0);

    // The first run requests both and leaves them running: 75, as cron expects.
    json first = restore({"trip", "--to", to}, 75);
    EXPECT_EQ(first["requested"], 2);
    EXPECT_EQ(in(first, "requested"), 2);
    EXPECT_TRUE(fs::exists(planFile()));
    json status = restore({"--status"}, 0);
    EXPECT_EQ(status["states"]["requested"]["bytes"], big.size() + 8);
    EXPECT_EQ(status["estimate"]["jobs"], 0);
    runFails({"restore", "--vault", "photos", "--to", temp.file("elsewhere")}, 1, "--cancel");

    json done = waitFor();
    EXPECT_EQ(in(done, "downloaded"), 2);
    EXPECT_TRUE(done["finished"]);
    EXPECT_EQ(contents(to + "/trip/big.bin"), big);
    EXPECT_EQ(contents(to + "/trip/note.txt"), "new note");
    EXPECT_FALSE(fs::exists(to + "/other"));
    EXPECT_FALSE(fs::exists(to + "/trip/big.bin.restore.part"));
    EXPECT_EQ(initiated(), 2);
    EXPECT_EQ(restore({}, 0)["failures"].size(), 0U);

    // A new plan takes over the jobs the service still has; the file already there counts as
    // done, the one that differs is not overwritten; --overwrite replaces it.
    EXPECT_EQ(restore({"--cancel"}, 0)["cancelled"], true);
    EXPECT_FALSE(fs::exists(planFile()));
    std::ofstream(to + "/trip/note.txt") << "edited";
    json refused = restore({"trip", "--to", to}, 2);
    ASSERT_EQ(refused["failures"].size(), 1U);
    EXPECT_EQ(refused["failures"][0]["path"], "trip/note.txt");
    EXPECT_EQ(in(refused, "downloaded"), 1);
    EXPECT_EQ(contents(to + "/trip/note.txt"), "edited");
    EXPECT_EQ(initiated(), 2);
    restore({"--cancel"}, 0);
    EXPECT_EQ(waitFor({"trip", "--to", to, "--overwrite"})["reused"], 2);
    EXPECT_EQ(contents(to + "/trip/note.txt"), "new note");
    EXPECT_EQ(initiated(), 2);
}

TEST_F(RestoreCliTest, PacesUnderJobsBudgetAndPolicyAndBacksOffWhenThePolicyRefuses) {
    for (int i = 0; i < 3; ++i) {
        store("docs/" + std::to_string(i), std::string(1000, static_cast<char>('a' + i)));
    }
    importInventory();
    EXPECT_EQ(restore({"--to", to, "--max-jobs", "1"}, 75)["requested"], 1);
    EXPECT_EQ(restore({"--max-bytes-per-day", "1.5KiB"}, 75)["requested"], 0);
    runOK({"policy", "set", "BytesPerHour", "--bytes-per-hour", "2500"});
    EXPECT_EQ(restore({}, 75)["requested"], 1);
    EXPECT_EQ(initiated(), 2);
    restore({"--cancel"}, 0);

    // A new plan reuses the two jobs; the refusal of the third keeps it planned and stops
    // requests for a while.
    runOK({"policy", "set", "None"});
    sim.injectFault({{"method", "POST"},
                     {"path", "/jobs"},
                     {"status", 403},
                     {"code", "PolicyEnforcedException"},
                     {"message", "InitiateJob request denied by current data retrieval policy."}});
    json refused = restore({"--to", temp.file("second")}, 75);
    EXPECT_EQ(refused["policyRefusals"], 1);
    EXPECT_EQ(refused["reused"], 2);
    EXPECT_EQ(in(refused, "planned"), 1);
    EXPECT_EQ(restore({}, 75)["requested"], 0);
    EXPECT_EQ(sim.countRequests("POST", "/jobs"), 3);
}

TEST_F(RestoreCliTest, OnATerminalItDrawsItsDownloadsInEightyColumns) {
    const std::string bytes = patternBytes(3 * 1048576 + 5000);
    const std::string path = "a folder whose name no line of eighty columns could hold/big.bin";
    store(path, bytes);
    importInventory();
    restore({"--to", to}, 75);
    auto shown = runOnTerminal(
        {"restore", "--vault", "photos", "--wait", "--interval", "0.05", "--timeout", "60"});
    EXPECT_EQ(shown.exitCode, 0) << ::testing::PrintToString(shown.lines);
    const auto drawn = shown.linesWith("Restoring");
    EXPECT_FALSE(drawn.empty()) << ::testing::PrintToString(shown.lines);
    for (const std::string& line : drawn) {
        EXPECT_LE(line.size(), 79u) << line;
        EXPECT_THAT(line, ::testing::ContainsRegex("[0-9]+% [0-9.]+ [KM]?i?B/3\\.0 MiB"));
    }
    EXPECT_EQ(contents(to + "/" + path), bytes);
}

TEST_F(RestoreCliTest, RequestsAnExpiredOutputAgainAndCountsIt) {
    const std::string bytes = patternBytes(500000);
    store("a.bin", bytes);
    importInventory();
    sim.injectFault({{"method", "GET"},
                     {"path", "/output"},
                     {"count", 3},
                     {"status", 404},
                     {"code", "ResourceNotFoundException"},
                     {"message", "The job ID was not found"}});
    json done = waitFor({"--to", to});
    EXPECT_EQ(done["expiredRequestedAgain"], 1);
    EXPECT_EQ(contents(to + "/a.bin"), bytes);
    EXPECT_EQ(initiated(), 2);
}

// The service on its own clock: jobs complete by tier, outputs expire, the policy is enforced.
class RestoreClockTest : public RestoreCliTest {
  protected:
    RestoreClockTest() : RestoreCliTest(simulatorOnItsClock()) {}

    // Requests of `method` whose trace line names `target` ("/jobs", "/output").
    static int traced(const std::string& err, const std::string& method,
                      const std::string& target) {
        int count = 0;
        std::istringstream lines(err);
        for (std::string line; std::getline(lines, line);) {
            count += line.rfind("[http] > " + method + " ", 0) == 0 &&
                     line.find(target + " (attempt") != std::string::npos;
        }
        return count;
    }
    // Runs the plan with the request trace on and kills it (SIGKILL) once its `count`th
    // `method` request of `target` is held at the simulator: the trace says that it left, the
    // held fault taken says that it arrived. With `checkedFirst`, also once a part checked
    // before it is noted (that happens beside the held request, not before it).
    void killedAt(const std::string& method, const std::string& target, int count,
                  bool checkedFirst = false) {
        CliRunner runner = cli;
        runner.setKillWhen([=, this](const std::string& err) {
            if (traced(err, method, target) < count) {
                return false;
            }
            for (int look = 0; look < 6000 && !sim.pendingFaults().empty(); ++look) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return !checkedFirst || waitForANotedPart(to);
        });
        CliResult result =
            runner.run({"--debug", "restore", "--vault", "photos", "--max-bytes-per-day", budget});
        EXPECT_EQ(result.exitCode, 128 + SIGKILL) << result.err.substr(0, 2000);
    }
    // Waits until the simulator has answered `count` requests of `method` naming `target`.
    void answered(const std::string& method, const std::string& target, int count) {
        for (int look = 0; look < 6000 && sim.countRequests(method, target) < count; ++look) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(sim.countRequests(method, target), count);
    }
    json cron(int exitCode) { return restore({"--max-bytes-per-day", budget}, exitCode); }

    const std::string budget = "2.5MiB";
};

TEST_F(RestoreClockTest, ThreeSimulatedDaysKilledTwiceEndByteIdenticalWithOneJobPerArchive) {
    setPrefs({{"maxConcurrentDownloads", "1"}});
    std::vector<std::string> bytes;
    for (int i = 0; i < 6; ++i) {
        bytes.push_back(patternBytes(1200000 + i));
        store("box/" + std::to_string(i), bytes.back());
    }
    importInventory();
    // Day 1: two archives fit the budget; their jobs take hours.
    EXPECT_EQ(restore({"box", "--to", to, "--max-bytes-per-day", budget}, 75)["requested"], 2);
    sim.advanceClock(5 * 3600);
    EXPECT_EQ(cron(75)["downloaded"], 2);
    EXPECT_EQ(cron(75)["requested"], 0);

    // Day 2: killed while its first request is held at the service; the next run finds the
    // job in the job list instead of paying again.
    sim.advanceClock(20 * 3600);
    sim.injectFault({{"kind", "delay"}, {"method", "POST"}, {"path", "/jobs"}, {"delayMs", 1500}});
    killedAt("POST", "/jobs", 1);
    answered("POST", "/jobs", 3);
    json day2 = cron(75);
    EXPECT_EQ(day2["requested"], 1);
    EXPECT_EQ(in(day2, "requested"), 2);
    EXPECT_EQ(initiated(), 4);

    // Killed while the second part of an output is held: the checked first part is kept.
    sim.advanceClock(5 * 3600);
    sim.injectFault({{"kind", "delay"},
                     {"method", "GET"},
                     {"path", "/output"},
                     {"after", 1},
                     {"delayMs", 1500}});
    killedAt("GET", "/output", 2, true);
    answered("GET", "/output", 6);
    EXPECT_EQ(cron(75)["downloaded"], 2);
    EXPECT_EQ(sim.countRequests("GET", "/output"), 9);

    // Day 3.
    sim.advanceClock(20 * 3600);
    EXPECT_EQ(cron(75)["requested"], 2);
    sim.advanceClock(5 * 3600);
    json done = cron(0);
    EXPECT_EQ(in(done, "downloaded"), 6);
    EXPECT_EQ(done["failures"].size(), 0U);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(contents(to + "/box/" + std::to_string(i)), bytes[i]) << i;
    }
    EXPECT_EQ(initiated(), 6);
    EXPECT_EQ(sim.countRequests("POST", "/jobs"), 6);
}

TEST_F(RestoreClockTest, ReusesAnotherClientsJobAndPacesAfterThePolicyRefuses) {
    const std::string a = patternBytes(1200000);
    const std::string b = patternBytes(1200001);
    store("a", a);
    const std::string other = store("b", b);
    importInventory();
    runOK({"policy", "set", "BytesPerHour", "--bytes-per-hour", "2000000"});
    sim.startJob("photos", {{"Type", "archive-retrieval"}, {"ArchiveId", other}});

    json refused = restore({"--to", to}, 75);
    EXPECT_EQ(refused["reused"], 1);
    EXPECT_EQ(refused["policyRefusals"], 1);
    EXPECT_EQ(in(refused, "planned"), 1);
    EXPECT_EQ(restore({}, 75)["policyRefusals"], 0);
    EXPECT_EQ(sim.countRequests("POST", "/jobs"), 2);

    sim.advanceClock(3601);
    EXPECT_EQ(restore({}, 75)["requested"], 1);
    sim.advanceClock(5 * 3600);
    EXPECT_EQ(in(restore({}, 0), "downloaded"), 2);
    EXPECT_EQ(contents(to + "/a"), a);
    EXPECT_EQ(contents(to + "/b"), b);
    EXPECT_EQ(initiated(), 2);
}

TEST_F(RestoreClockTest, RequestsAnOutputThatExpiredBeforeItsDownloadAgain) {
    const std::string bytes = patternBytes(300000);
    store("late.bin", bytes);
    importInventory();
    EXPECT_EQ(restore({"--to", to}, 75)["requested"], 1);
    sim.advanceClock(30 * 3600);  // ready within 5 hours, gone 24 hours later
    json again = restore({}, 75);
    EXPECT_EQ(again["expiredRequestedAgain"], 1);
    EXPECT_EQ(again["requested"], 1);
    sim.advanceClock(5 * 3600);
    EXPECT_EQ(restore({}, 0)["expiredRequestedAgain"], 1);
    EXPECT_EQ(contents(to + "/late.bin"), bytes);
    EXPECT_EQ(initiated(), 2);
}

}  // namespace
}  // namespace quillon::testing
