#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "VaultFixture.h"
#include "foundation/BaseModel.h"
#include "interfaces/base/Localization.h"
#include "interfaces/files/FileHelpers.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/platform/NotificationCenter.h"

namespace quillon::testing {
namespace {

class VaultsSyncTest : public VaultFixture {
  protected:
    std::int64_t position(const std::string& name) {
        return queryInt("SELECT position FROM vaults WHERE name = ? AND region = 'local-1'",
                        {name});
    }
};

TEST_F(VaultsSyncTest, PagesThroughTheListAndNumbersAFirstSyncByLowerCaseName) {
    // The service lists in byte order (capitals first); 23 vaults make three pages of 10.
    std::vector<std::string> seeded = {"beta", "Alpha", "gamma", "Delta"};
    for (int i = 0; i < 19; ++i) {
        seeded.push_back("v" + std::to_string(10 + i));
    }
    seedVaults(seeded);
    Vaults& vaults = accountRegion->vaults();
    EXPECT_TRUE(vaults.needSync());
    EXPECT_FALSE(vaults.didSync());

    ASSERT_EQ(sync(accountRegion), nullptr);
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["target"], "/-/vaults");
    std::string target = log[1]["target"];
    EXPECT_NE(target.find("marker="), std::string::npos);
    // The marker is the ARN of page 2's first vault.
    EXPECT_NE(target.find("vaults%2Fv16"), std::string::npos) << target;

    EXPECT_EQ(vaults.count(), 23);
    EXPECT_EQ(position("Alpha"), 0);
    EXPECT_EQ(position("beta"), 1);
    EXPECT_EQ(position("Delta"), 2);
    EXPECT_EQ(position("gamma"), 3);
    EXPECT_EQ(position("v28"), 22);
    EXPECT_TRUE(vaults.didSync());
    EXPECT_FALSE(vaults.needSync());

    // An hour and a second later the list is stale.
    execute("UPDATE vaults_fetch SET last_fetch = last_fetch - 3601");
    EXPECT_TRUE(vaults.needSync());
}

TEST_F(VaultsSyncTest, LaterSyncRemovesVanishedVaultsKeepsPositionsAndAppendsNewOnes) {
    seedVaults({"b", "c", "d"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    VaultPtr gone = accountRegion->vaults().get("c");
    ASSERT_TRUE(gone);
    execute("INSERT INTO tags (key, value, vault, region) VALUES ('k', 'v', 'c', 'local-1')");
    std::atomic<bool> notified{false};
    auto token = NotificationCenter::defaultCenter().addObserver(
        NVVaultDeletedNotification,
        [&](const Notification& note) { notified = std::any_cast<VaultPtr>(note.object) == gone; });

    // "c" vanishes on the service; "a" and "e" are new.
    std::promise<ErrorPtr> deleted;
    accountRegion->apiPerformRequest("DELETE", "/-/vaults/c", std::nullopt, {}, "", true,
                                     [&](ErrorPtr error, auto) { deleted.set_value(error); });
    ASSERT_EQ(deleted.get_future().get(), nullptr);
    seedVaults({"a", "e"});
    ASSERT_EQ(sync(accountRegion), nullptr);

    EXPECT_EQ(position("b"), 0);
    EXPECT_EQ(position("d"), 2);
    EXPECT_EQ(position("a"), 3);
    EXPECT_EQ(position("e"), 4);
    EXPECT_EQ(position("c"), -1);
    EXPECT_EQ(queryInt("SELECT count(*) FROM tags WHERE vault = 'c'"), 0);
    EXPECT_TRUE(MainQueue::waitFor(notified, 5));
    NotificationCenter::defaultCenter().removeObserver(token);
    // The cache was emptied: the vault is a new object now.
    EXPECT_NE(accountRegion->vaults().get("b"), nullptr);
}

TEST_F(VaultsSyncTest, EmptyServiceListRemovesEveryVaultAndStillStamps) {
    seedVaults({"x"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    std::promise<ErrorPtr> deleted;
    accountRegion->apiPerformRequest("DELETE", "/-/vaults/x", std::nullopt, {}, "", true,
                                     [&](ErrorPtr error, auto) { deleted.set_value(error); });
    ASSERT_EQ(deleted.get_future().get(), nullptr);
    execute("UPDATE vaults_fetch SET last_fetch = 5");
    ASSERT_EQ(sync(accountRegion), nullptr);
    EXPECT_EQ(accountRegion->vaults().count(), 0);
    EXPECT_GT(queryInt("SELECT last_fetch FROM vaults_fetch WHERE region = 'local-1'"), 5);
}

TEST_F(VaultsSyncTest, FailingPageLeavesTheTablesAsTheyWere) {
    seedVaults({"one", "two"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    std::vector<std::string> more;
    for (int i = 0; i < 15; ++i) {
        more.push_back("more" + std::to_string(i));
    }
    seedVaults(more);
    execute("UPDATE vaults_fetch SET last_fetch = 7");
    std::string vaultsBefore = dump("vaults");
    std::string fetchBefore = dump("vaults_fetch");

    // A refusal that is not sent again (a 5xx would be, by the request frame).
    sim.injectFault(
        {{"status", 400}, {"code", "InvalidParameterValueException"}, {"path", "marker="}});
    ErrorPtr error = sync(accountRegion);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->stringForKey("awsExceptionCode"), "InvalidParameterValueException");
    EXPECT_EQ(requests().size(), 3u);  // the sync before, page 1, page 2
    EXPECT_EQ(dump("vaults"), vaultsBefore);
    EXPECT_EQ(dump("vaults_fetch"), fetchBefore);
}

// Answers every request on 127.0.0.1 with the same vault-list page, at most `limit` times.
class FixedPageServer {
  public:
    explicit FixedPageServer(int limit) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, limit] { serve(limit); });
    }
    ~FixedPageServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    int served() const { return served_.load(); }

  private:
    void serve(int limit) {
        const std::string body = R"({"VaultList": [{"VaultName": "loop"}], "Marker": "again"})";
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
            "Connection: close\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        while (served_ < limit) {
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            std::string request;
            char buffer[4096];
            ssize_t got = 0;
            while (request.find("\r\n\r\n") == std::string::npos &&
                   (got = ::read(client, buffer, sizeof buffer)) > 0) {
                request.append(buffer, static_cast<std::size_t>(got));
            }
            ::write(client, answer.data(), answer.size());
            ::close(client);
            ++served_;
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<int> served_{0};
    std::thread thread_;
};

TEST_F(VaultsSyncTest, RepeatingMarkerEndsTheWalkWithAnError) {
    FixedPageServer server(10);
    Regions::testRegions()["loop-1"] = std::make_shared<Region>(
        "loop-1", "Loop", "http://127.0.0.1:" + std::to_string(server.port()) + "/", false);
    AccountRegionPtr looping = AccountRegion::create(account, Regions::testRegions()["loop-1"]);

    ErrorPtr error = sync(looping);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(),
              BaseModel::invalidApiResponseError()->localizedDescription());
    EXPECT_EQ(server.served(), 2);
    EXPECT_EQ(looping->vaults().count(), 0);
    EXPECT_FALSE(looping->vaults().didSync());
}

TEST_F(VaultsSyncTest, AccountSyncsEveryRegionAndSummarisesThem) {
    account = makeAccount({"local-1", "local-2", "local-3"}, "Three");
    seedVaults({"small"}, "local-1", 1, 10);
    seedVaults({"big", "bigger"}, "local-2", 2, 1000);
    // One request at a time, so the completions (and their progress texts) come in turn.
    account->glacierManager().operationQueue().setMaxConcurrentOperationCount(1);
    std::mutex mutex;
    std::vector<std::string> progress;
    std::atomic<bool> finished{false};
    EXPECT_EQ(account->description(),
              Localization::string("account_description.vaults_not_synchronized"));
    account->syncVaults(
        [&](const AccountRegionPtr&, ErrorPtr error) {
            EXPECT_EQ(error, nullptr);
            std::lock_guard lock(mutex);
            progress.push_back(account->syncProgress());
        },
        [&] { finished = true; });
    ASSERT_TRUE(MainQueue::waitFor(finished, 30));
    EXPECT_EQ(progress, (std::vector<std::string>{"33%", "67%", "100%"}));
    EXPECT_FALSE(account->isUpdating());

    auto regions = account->getAccountRegions();
    ASSERT_EQ(regions.size(), 3u);
    EXPECT_EQ(regions[0]->region()->id(), "local-2");
    EXPECT_EQ(regions[1]->region()->id(), "local-1");
    EXPECT_EQ(regions[0]->description(), "Test local-2 - 2 vaults");
    EXPECT_EQ(regions[2]->description(), "Test local-3 - 0 vaults");
    EXPECT_EQ(account->description(), "4 KB in 5 archives - 3 vaults - in 2 regions");
}

}  // namespace
}  // namespace quillon::testing

namespace quillon::testing {
namespace {

TEST_F(VaultsSyncTest, RemovingTheAccountRemovesItsVaultData) {
    seedVaults({"kept-on-service"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    VaultPtr vault = accountRegion->vaults().get("kept-on-service");
    ASSERT_TRUE(vault);
    std::string vaultsDir = accountRegion->vaults().directory();
    std::string transfers = vault->transfersDirectory();
    std::string accountDir = account->directory();
    ASSERT_TRUE(FileHelpers::directoryExists(vault->directory()));

    account->remove();
    MainQueue::runOnce();
    EXPECT_FALSE(FileHelpers::directoryExists(vaultsDir));
    EXPECT_FALSE(FileHelpers::directoryExists(transfers));
    EXPECT_FALSE(FileHelpers::exists(accountDir));
    EXPECT_EQ(Accounts::count(), 0);
}

}  // namespace
}  // namespace quillon::testing
