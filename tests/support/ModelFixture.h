// The shared base of the model tests: a fresh application directory, a simulator and one saved
// account working in the simulator's region "local-1", with the helpers those tests repeat.
// Thread rules: a fixture is used by its test's thread only; await() blocks that thread until
// the operation's completion (run on any thread) has delivered its error.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "foundation/FileHelpers.h"
#include "foundation/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "support/ModelState.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

namespace quillon::testing {

// A completion for operations that hand back one value before their error: stores the value
// and passes the error on to `done`.
template <typename T, typename Done>
auto into(T& value, Done done) {
    return [&value, done](auto got, ErrorPtr error) {
        value = std::move(got);
        done(std::move(error));
    };
}

// Counts the commits of a queue's connection while it lives: a writer that runs inside
// one transaction commits once.
class CommitCounter {
  public:
    explicit CommitCounter(DatabaseQueue& queue) : queue_(queue) {
        queue_.inDatabase([this](Database& db) { sqlite3_commit_hook(db.handle(), &count, this); });
    }
    ~CommitCounter() {
        queue_.inDatabase([](Database& db) { sqlite3_commit_hook(db.handle(), nullptr, nullptr); });
    }
    CommitCounter(const CommitCounter&) = delete;
    CommitCounter& operator=(const CommitCounter&) = delete;
    int commits() const { return commits_; }

  private:
    static int count(void* self) {
        ++static_cast<CommitCounter*>(self)->commits_;
        return 0;
    }
    DatabaseQueue& queue_;
    int commits_ = 0;
};

class ModelFixture : public ::testing::Test {
  protected:
    static constexpr auto kWait = std::chrono::seconds(30);

    ModelFixture() = default;
    explicit ModelFixture(Simulator::Options options) : sim(std::move(options)) {}

    void SetUp() override {
        account = makeAccount({"local-1"});
        accountRegion = account->accountRegion("local-1");
    }

    // The test region `id` ("Test <id>"), served by a separate region of the simulator.
    RegionPtr region(const std::string& id) {
        auto& regions = Regions::testRegions();
        return regions.contains(id) ? regions[id]
                                    : addTestRegion(id, "Test " + id, sim.regionURL(id));
    }

    AccountPtr makeAccount(const std::vector<std::string>& regionIds,
                           const std::string& name = "Test") {
        std::vector<RegionPtr> regions;
        for (const std::string& id : regionIds) {
            regions.push_back(region(id));
        }
        return saveTestAccount(name, sim.accessKey(), sim.secretKey(), regions);
    }

    template <typename Start>
    ErrorPtr await(Start start) {
        return awaitCompletion(start, kWait);
    }

    std::int64_t queryInt(const std::string& sql, const SqlArgs& args = {}) {
        std::int64_t value = -1;
        account->db().inDatabase(
            [&](Database& db) { value = db.longForQuery(sql, args).value_or(-1); });
        return value;
    }

    void execute(const std::string& sql, const SqlArgs& args = {}) {
        account->db().inDatabase([&](Database& db) { ASSERT_TRUE(db.executeUpdate(sql, args)); });
    }

    // Every row of a table as text, for before/after comparisons.
    std::string dump(const std::string& table) { return dumpRows(account->db(), table); }

    // A file of the test's temporary directory with this content; its path.
    std::string writeFile(const std::string& name, const std::string& content) {
        const std::string path = home.file(name);
        EXPECT_EQ(FileHelpers::writeFile(path, content), nullptr);
        return path;
    }

    // The names of vaults, inventory items or folders, in their order.
    template <typename List>
    static std::vector<std::string> names(const List& list) {
        std::vector<std::string> out;
        for (const auto& entry : list) {
            if constexpr (requires { entry.name(); }) {
                out.push_back(entry.name());
            } else {
                out.push_back(entry->name);
            }
        }
        return out;
    }

    // Requests the service saw, as "METHOD target".
    std::vector<std::string> requests() {
        std::vector<std::string> list;
        for (const auto& entry : sim.requestLog()) {
            list.push_back(entry["method"].get<std::string>() + " " +
                           entry["target"].get<std::string>());
        }
        return list;
    }

    TempDir home;
    Simulator sim;
    FreshModelState state{home.path()};
    AccountPtr account;
    AccountRegionPtr accountRegion;
};

}  // namespace quillon::testing
