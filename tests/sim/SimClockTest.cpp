// Tests of quillon-sim on its own clock: the clock and the Date header, jobs by tier, job
// expiry and pages, the retrieval policy, the daily inventory with DeleteVault, and the
// deletion rate. Threads: run on the test's thread; the simulator is a separate process.
#include <gtest/gtest.h>

#include <ctime>
#include <iomanip>
#include <sstream>

#include "interfaces/http/SigV4Signer.h"
#include "support/Simulator.h"

namespace quillon::testing {
namespace {

constexpr long kMiB = 1048576;
constexpr long kHour = 3600;
constexpr long kDay = 86400;

// Seconds since 1970 of "2026-01-31T12:00:00.000Z" or of "Sat, 31 Jan 2026 12:00:00 GMT".
long long secondsOf(const std::string& date) {
    std::tm parts{};
    std::istringstream stream(date);
    stream >> std::get_time(&parts, date.find(',') != std::string::npos ? "%a, %d %b %Y %H:%M:%S"
                                                                        : "%Y-%m-%dT%H:%M:%S");
    EXPECT_FALSE(stream.fail()) << date;
    return timegm(&parts);
}

class SimClockTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sim.send("PUT", "/-/vaults/v").status, 201); }

    // A retrieval of one seeded archive of `size` bytes in `vault`; the answer.
    HttpAnswer retrieve(const std::string& archive, const std::string& tier = "Expedited",
                        const std::string& vault = "v") const {
        nlohmann::json body = {{"Type", "archive-retrieval"}, {"ArchiveId", archive}};
        body["Tier"] = tier;
        return sim.send("POST", "/-/vaults/" + vault + "/jobs", body.dump());
    }
    std::string seedOne(long size = 1, const std::string& vault = "v") const {
        return sim.seed({{"vault", vault}, {"count", 1}, {"size", size}})["archiveIds"][0];
    }
    long long now() const { return secondsOf(sim.clockNow()); }
    // Moves the clock to a minute past the next midnight UTC.
    void pastMidnight() const { sim.advanceClock(static_cast<double>(kDay - now() % kDay + 60)); }

    Simulator sim{simulatorOnItsClock()};
};

TEST_F(SimClockTest, AdvancesOnlyForwardAndEveryAnswerCarriesTheServiceDate) {
    long long before = now();
    long long moved = secondsOf(sim.advanceClock(3 * kDay));
    EXPECT_GE(moved, before + 3 * kDay);
    HttpAnswer answer = sim.get("/-/vaults");
    ASSERT_EQ(answer.status, 200);
    long long dated = secondsOf(answer.header("Date"));
    EXPECT_GE(dated, moved);
    EXPECT_LE(dated, now());
    EXPECT_EQ(answer.header("Date").substr(answer.header("Date").size() - 4), " GMT");
    // Refusals carry it too, and dates in documents come from the same clock.
    EXPECT_FALSE(SignedClient::plain(sim.baseURL()).get("/-/vaults").header("Date").empty());
    ASSERT_EQ(sim.send("PUT", "/-/vaults/later").status, 201);
    EXPECT_GE(secondsOf(sim.get("/-/vaults/later").json()["CreationDate"]), moved);
    for (double bad : {-1.0, 1e12}) {
        EXPECT_THROW(sim.advanceClock(bad), std::runtime_error) << bad;
    }
    EXPECT_GE(now(), moved);
}

TEST_F(SimClockTest, JobsCompleteByTierAndLeaveADayAfterCompletion) {
    struct Case {
        const char* tier;
        long least, most;  // seconds
    };
    std::string archive = seedOne(10);
    for (const Case& c :
         {Case{"Expedited", 60, 300}, Case{"Standard", 3 * kHour, 5 * kHour},
          Case{"Bulk", 5 * kHour, 12 * kHour}, Case{"Inventory", 3 * kHour, 5 * kHour}}) {
        SCOPED_TRACE(c.tier);
        std::string tier = c.tier;
        // The days of the earlier cases have given the vault an inventory.
        HttpAnswer started = tier == "Inventory" ? sim.send("POST", "/-/vaults/v/jobs",
                                                            R"({"Type": "inventory-retrieval"})")
                                                 : retrieve(archive, tier);
        ASSERT_EQ(started.status, 202) << started.body;
        std::string path = "/-/vaults/v/jobs/" + started.header("x-amz-job-id");
        sim.advanceClock(static_cast<double>(c.least - 30));
        auto pending = sim.get(path).json();
        EXPECT_EQ(pending["StatusCode"], "InProgress");
        EXPECT_TRUE(pending["CompletionDate"].is_null());
        EXPECT_EQ(sim.get(path + "/output").status, 400);
        EXPECT_EQ(sim.get("/-/vaults/v/jobs?completed=true").json()["JobList"].size(), 0u);

        sim.advanceClock(static_cast<double>(c.most - c.least + 30));
        auto done = sim.get(path).json();
        ASSERT_EQ(done["StatusCode"], "Succeeded");
        long long completed = secondsOf(done["CompletionDate"]);
        long long created = secondsOf(done["CreationDate"]);
        EXPECT_GE(completed - created, c.least);
        EXPECT_LE(completed - created, c.most);
        EXPECT_EQ(sim.get(path + "/output").status, 200);

        // Available until a day after completion, then gone from describe, output and list.
        sim.advanceClock(static_cast<double>(completed + kDay - 60 - now()));
        EXPECT_EQ(sim.get(path + "/output").status, 200);
        EXPECT_EQ(sim.get("/-/vaults/v/jobs").json()["JobList"].size(), 1u);
        sim.advanceClock(120);
        for (const std::string& gone : {path, path + "/output"}) {
            HttpAnswer answer = sim.get(gone);
            EXPECT_EQ(answer.status, 404);
            EXPECT_EQ(answer.json()["code"], "ResourceNotFoundException");
        }
        EXPECT_EQ(sim.get("/-/vaults/v/jobs").json()["JobList"].size(), 0u);
    }
}

TEST_F(SimClockTest, ListsJobsFiftyAPageAndAMarkerOutlivesItsJob) {
    std::string archive = seedOne();
    for (int i = 0; i < 120; ++i) {
        ASSERT_EQ(retrieve(archive).status, 202);
    }
    std::vector<size_t> sizes;
    std::string marker;
    std::string firstMarker;
    do {
        auto page = sim.get("/-/vaults/v/jobs" +
                            (marker.empty() ? "" : "?marker=" + SigV4Signer::uriEncode(marker)))
                        .json();
        sizes.push_back(page["JobList"].size());
        marker = page["Marker"].is_string() ? page["Marker"].get<std::string>() : "";
        firstMarker = firstMarker.empty() ? marker : firstMarker;
    } while (!marker.empty() && sizes.size() < 10);
    EXPECT_EQ(sizes, (std::vector<size_t>{50, 50, 20}));
    EXPECT_EQ(sim.get("/-/vaults/v/jobs?limit=7").json()["JobList"].size(), 7u);
    for (const std::string bad : {"limit=0", "limit=1001", "limit=x", "marker=nope"}) {
        EXPECT_EQ(sim.get("/-/vaults/v/jobs?" + bad).status, 400) << bad;
    }
    sim.advanceClock(2 * kDay);
    auto late = sim.get("/-/vaults/v/jobs?marker=" + SigV4Signer::uriEncode(firstMarker));
    ASSERT_EQ(late.status, 200);
    EXPECT_EQ(late.json()["JobList"].size(), 0u);
    EXPECT_TRUE(late.json()["Marker"].is_null());
}

TEST_F(SimClockTest, RetrievalPolicyRefusesBytesOverItsWindow) {
    auto setPolicy = [&](const nlohmann::json& rule) {
        nlohmann::json body = {{"Policy", {{"Rules", {rule}}}}};
        ASSERT_EQ(sim.send("PUT", "/-/policies/data-retrieval", body.dump()).status, 204);
    };
    auto refused = [](const HttpAnswer& answer) {
        return answer.status == 403 && answer.json()["code"] == "PolicyEnforcedException" &&
               answer.json()["message"] ==
                   "InitiateJob request denied by current data retrieval policy." &&
               answer.json()["type"] == "Client";
    };
    std::string archive = seedOne(kMiB);
    setPolicy({{"Strategy", "BytesPerHour"}, {"BytesPerHour", 3 * kMiB}});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(retrieve(archive, "Standard").status, 202) << i;
    }
    EXPECT_TRUE(refused(retrieve(archive, "Bulk")));
    // The window slides with the clock; inventories are never held back.
    sim.advanceClock(kHour + 60);
    EXPECT_EQ(retrieve(archive).status, 202);
    pastMidnight();
    EXPECT_EQ(sim.send("POST", "/-/vaults/v/jobs", R"({"Type": "inventory-retrieval"})").status,
              202);
    setPolicy({{"Strategy", "None"}});
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(retrieve(archive).status, 202);
    }
    // FreeTier: the daily allowance over the last 24 hours.
    Simulator::Options freeTier = simulatorOnItsClock();
    freeTier.freeTierBytesPerDay = 2 * kMiB;
    Simulator small(freeTier);
    std::string id = small.seed({{"vault", "f"}, {"count", 1}, {"size", kMiB}})["archiveIds"][0];
    nlohmann::json body = {{"Type", "archive-retrieval"}, {"ArchiveId", id}};
    auto start = [&] { return small.send("POST", "/-/vaults/f/jobs", body.dump()); };
    EXPECT_EQ(start().status, 202);
    EXPECT_EQ(start().status, 202);
    EXPECT_TRUE(refused(start()));
    small.advanceClock(23 * kHour);
    EXPECT_TRUE(refused(start()));
    small.advanceClock(kHour + 60);
    EXPECT_EQ(start().status, 202);
    // With a job delay no policy applies.
    Simulator::Options delayed = simulatorWithJobDelay(0);
    delayed.freeTierBytesPerDay = 1;
    Simulator unlimited(delayed);
    id = unlimited.seed({{"vault", "u"}, {"size", kMiB}})["archiveIds"][0];
    body["ArchiveId"] = id;
    EXPECT_EQ(unlimited.send("POST", "/-/vaults/u/jobs", body.dump()).status, 202);
}

TEST_F(SimClockTest, DailyInventoryGovernsDescribeInventoriesAndDeleteVault) {
    auto describe = [&] { return sim.get("/-/vaults/v").json(); };
    auto deleteVault = [&](const std::string& name) {
        return sim.send("DELETE", "/-/vaults/" + name);
    };
    auto refusedAsNotEmpty = [&](const HttpAnswer& answer, const std::string& name) {
        return answer.status == 400 && answer.json()["code"] == "InvalidParameterValueException" &&
               answer.json()["message"] ==
                   "Vault not empty or recently written to: "
                   "arn:aws:glacier:us-east-1:123456789012:vaults/" +
                       name;
    };
    auto inventory = [&] {
        std::string job = sim.startJob("v", {{"Type", "inventory-retrieval"}});
        sim.advanceClock(5 * kHour);
        return sim.get("/-/vaults/v/jobs/" + job + "/output").json();
    };
    ASSERT_EQ(sim.send("PUT", "/-/vaults/never-written").status, 201);
    EXPECT_EQ(deleteVault("never-written").status, 204);

    auto ids = sim.seed({{"vault", "v"}, {"count", 3}, {"size", 10}})["archiveIds"];
    EXPECT_EQ(describe()["NumberOfArchives"], 0);
    EXPECT_TRUE(describe()["LastInventoryDate"].is_null());
    HttpAnswer early = sim.send("POST", "/-/vaults/v/jobs", R"({"Type": "inventory-retrieval"})");
    EXPECT_EQ(early.status, 404);
    EXPECT_EQ(early.json()["code"], "ResourceNotFoundException");
    EXPECT_TRUE(refusedAsNotEmpty(deleteVault("v"), "v"));
    // A vault written and emptied the same day waits for the next inventory too.
    std::string brief = seedOne(1, "brief");
    EXPECT_EQ(sim.send("DELETE", "/-/vaults/brief/archives/" + brief).status, 204);
    EXPECT_TRUE(refusedAsNotEmpty(deleteVault("brief"), "brief"));

    pastMidnight();
    auto first = describe();
    EXPECT_EQ(first["NumberOfArchives"], 3);
    EXPECT_EQ(first["SizeInBytes"], 30);
    long long taken = secondsOf(first["LastInventoryDate"]);
    EXPECT_EQ(taken % kDay, 0);
    EXPECT_EQ(sim.get("/-/vaults").json()["VaultList"][1]["NumberOfArchives"], 3);
    EXPECT_EQ(deleteVault("brief").status, 204);

    // A minute past midnight: the five hours of an inventory job stay within the day.
    for (const auto& id : ids) {
        EXPECT_EQ(sim.send("DELETE", "/-/vaults/v/archives/" + id.get<std::string>()).status, 204);
    }
    // The inventory still lists them, and the vault was written since.
    auto listed = inventory();
    EXPECT_EQ(listed["ArchiveList"].size(), 3u);
    EXPECT_EQ(secondsOf(listed["InventoryDate"]), taken);
    EXPECT_EQ(describe()["NumberOfArchives"], 3);
    EXPECT_TRUE(refusedAsNotEmpty(deleteVault("v"), "v"));

    pastMidnight();
    EXPECT_EQ(describe()["NumberOfArchives"], 0);
    EXPECT_GT(secondsOf(describe()["LastInventoryDate"]), taken);
    EXPECT_EQ(inventory()["ArchiveList"].size(), 0u);
    // Without writes, later midnights leave the inventory date alone.
    std::string last = describe()["LastInventoryDate"];
    pastMidnight();
    EXPECT_EQ(describe()["LastInventoryDate"], last);
    EXPECT_EQ(deleteVault("v").status, 204);
    EXPECT_EQ(sim.get("/-/vaults/v").status, 404);
}

TEST(SimDeleteRateTest, ThrottlesDeletionsOverTheRateWithoutDeleting) {
    Simulator::Options options;
    options.deleteRate = 1;
    Simulator sim(options);
    auto ids = sim.seed({{"vault", "t"}, {"count", 50}})["archiveIds"];
    // Deletions go on until one falls in the same second as the one before and is refused.
    HttpAnswer answer;
    int deleted = 0;
    for (const auto& id : ids) {
        answer = sim.send("DELETE", "/-/vaults/t/archives/" + id.get<std::string>());
        if (answer.status != 204) {
            break;
        }
        ++deleted;
    }
    ASSERT_EQ(answer.status, 400);
    EXPECT_EQ(answer.json()["code"], "ThrottlingException");
    EXPECT_EQ(answer.json()["type"], "Client");
    EXPECT_EQ(sim.get("/-/vaults/t").json()["NumberOfArchives"], 50 - deleted);
}

}  // namespace
}  // namespace quillon::testing
