// Tests of Jobs: tiers, statuses, listing pages and the bodies of started jobs.
// Threads: the test's thread awaits each completion; the simulator is a separate process.
#include "JobFixture.h"
#include "foundation/BaseModel.h"
#include "foundation/ModelError.h"
#include "support/CaptureServer.h"

namespace quillon::testing {
namespace {

TEST(JobValuesTest, TiersStatusesAndDerivedValues) {
    EXPECT_EQ(glacierRetrievalTierFromString("Bulk"), GlacierRetrievalTier::bulk);
    EXPECT_EQ(glacierRetrievalTierFromString("Expedited"), GlacierRetrievalTier::expedited);
    EXPECT_EQ(glacierRetrievalTierFromString("standard"), GlacierRetrievalTier::standard);
    EXPECT_EQ(glacierRetrievalTierFromString("bulk"), GlacierRetrievalTier::standard);
    EXPECT_EQ(glacierRetrievalTierFromString(""), GlacierRetrievalTier::standard);
    EXPECT_EQ(description(GlacierRetrievalTier::expedited), "Expedited");

    EXPECT_EQ(Job::statusCodeFromRawValue(""), Job::StatusCode::Unknown);
    EXPECT_EQ(Job::statusCodeFromRawValue("Failed"), Job::StatusCode::Failed);
    EXPECT_FALSE(Job::statusCodeFromRawValue("failed"));

    Job::Ptr empty = Job::create(nullptr);
    EXPECT_FALSE(empty->hasData());
    EXPECT_EQ(empty->statusCode(), Job::StatusCode::Unknown);
    EXPECT_FALSE(empty->creationDate());

    Job::Ptr job = Job::create(JSON::parse(R"({"JobId": "j1", "StatusCode": "Succeeded",
                        "CreationDate": "2024-03-01T10:00:00.000Z"})"),
                               nullptr);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->description(), "Job j1");
    EXPECT_EQ(job->statusCode(), Job::StatusCode::Succeeded);
    EXPECT_EQ(job->creationDate(), 1709287200.0);
    job->data = JSON::parse(R"({"StatusCode": "Done", "CreationDate": "yesterday"})");
    EXPECT_EQ(job->statusCode(), Job::StatusCode::Unknown);
    EXPECT_FALSE(job->creationDate());
    job->data = JSON::parse(R"({"StatusCode": 3})");
    EXPECT_EQ(job->statusCode(), Job::StatusCode::Unknown);

    EXPECT_FALSE(Job::create(JSON::parse(R"({"JobId": 7})"), nullptr));
    auto jobs = Jobs::multiple(
        JSON::parse(R"({"JobList": [{"JobId": "a"}, {"Action": "x"}, {"JobId": "b"}]})"), nullptr);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[1]->id, "b");
    EXPECT_EQ(jobs[1]->data["JobId"].stringValue(), "b");
    EXPECT_TRUE(Jobs::multiple(JSON::parse(R"({"JobList": {"JobId": "a"}})"), nullptr).empty());
}

class JobsTest : public JobFixture {
  protected:
    ErrorPtr listAll(std::vector<Job::Ptr>& jobs) {
        return await([&](auto done) {
            vault->jobs().apiGetAll([&jobs, done](const std::vector<Job::Ptr>& got, ErrorPtr e) {
                jobs = got;
                done(e);
            });
        });
    }
};

// 120 jobs listed: page by page, one page alone, and walks that fail.
TEST_F(JobsTest, ListingWalksEveryPageInOrderOrEndsEmpty) {
    std::vector<std::string> started;
    for (int i = 0; i < 120; ++i) {
        Job::Ptr job = startInventory("job " + std::to_string(i));
        ASSERT_TRUE(job);
        started.push_back(job->id);
    }
    EXPECT_EQ(vault->jobs().apiBasePath().encoded(), "/-/vaults/photos/jobs");
    sim.clearRequestLog();

    std::vector<Job::Ptr> jobs;
    ASSERT_EQ(listAll(jobs), nullptr);
    ASSERT_EQ(jobs.size(), started.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(jobs[i]->id, started[i]);
        EXPECT_EQ(jobs[i]->vault(), vault);
    }
    EXPECT_EQ(jobs[7]->data["JobDescription"].stringValue(), "job 7");
    // The service's pages hold 50 jobs: three pages, the later ones from the markers.
    auto requested = requests();
    ASSERT_EQ(requested.size(), 3u);
    EXPECT_EQ(requested[0], "GET /-/vaults/photos/jobs");
    EXPECT_EQ(requested[1], "GET /-/vaults/photos/jobs?marker=" + started[50]);
    EXPECT_EQ(requested[2], "GET /-/vaults/photos/jobs?marker=" + started[100]);

    // One page with a limit and a marker: the last two jobs, and no marker after them.
    sim.clearRequestLog();
    std::vector<Job::Ptr> page;
    std::string next = "unset";
    auto getPage = [&](int limit, const std::string& marker) {
        return await([&](auto done) {
            vault->jobs().apiGet(limit, marker,
                                 [&, done](const auto& jobs, const std::string& got, ErrorPtr e) {
                                     page = jobs;
                                     next = got;
                                     done(e);
                                 });
        });
    };
    ErrorPtr error = getPage(2, started[118]);
    ASSERT_EQ(error, nullptr);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0]->id, started[118]);
    EXPECT_EQ(next, "");
    EXPECT_EQ(requests(),
              std::vector<std::string>{"GET /-/vaults/photos/jobs?limit=2&marker=" + started[118]});
    // A refused page gives neither jobs nor a marker.
    error = getPage(0, "no-such-marker");
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(page.empty());
    EXPECT_EQ(next, "");

    // A later page failing on every attempt of the request frame.
    sim.injectFault(
        {{"status", 500}, {"code", "InternalFailure"}, {"path", "jobs?marker="}, {"count", -1}});
    error = listAll(jobs);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 500);
    EXPECT_TRUE(jobs.empty());
    sim.clearFaults();

    // A service that keeps naming the same next page.
    sim.injectFault({{"status", 200},
                     {"body", R"({"JobList": [{"JobId": "x"}], "Marker": "again"})"},
                     {"path", "/jobs"},
                     {"method", "GET"},
                     {"count", -1}});
    sim.clearRequestLog();
    jobs.push_back(nullptr);
    error = listAll(jobs);
    sim.clearFaults();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(),
              BaseModel::invalidApiResponseError()->localizedDescription());
    EXPECT_TRUE(jobs.empty());
    EXPECT_EQ(sim.requestLog().size(), 2u);

    ASSERT_EQ(listAll(jobs), nullptr);
    EXPECT_EQ(jobs.size(), 120u);
}

TEST_F(JobsTest, StartedJobsCarryTheirParameters) {
    const std::string key = accountRegion->storageKeyPrefix() + ".lastInventoryRequest";
    EXPECT_EQ(vault->jobs().lastInventoryRequestKey(), key);
    std::string archiveId = upload(patternBytes(3 * 1048576 + 100));
    ASSERT_FALSE(archiveId.empty());

    Job::Ptr retrieval =
        startRetrieval(archiveId, std::string("1048576-2097151"), GlacierRetrievalTier::bulk);
    ASSERT_TRUE(retrieval);
    EXPECT_FALSE(retrieval->hasData());
    EXPECT_FALSE(UserDefaults::standard()->hasKey(key));

    Job::Ptr inventory = startInventory("weekly");
    ASSERT_TRUE(inventory);
    EXPECT_GT(UserDefaults::standard()->doubleValue(key), 1.7e9);

    ASSERT_EQ(await([&](auto done) { retrieval->apiDescribe(done); }), nullptr);
    EXPECT_EQ(retrieval->data["Action"].stringValue(), "ArchiveRetrieval");
    EXPECT_EQ(retrieval->data["ArchiveId"].stringValue(), archiveId);
    EXPECT_EQ(retrieval->data["Tier"].stringValue(), "Bulk");
    EXPECT_EQ(retrieval->data["RetrievalByteRange"].stringValue(), "1048576-2097151");
    EXPECT_TRUE(retrieval->creationDate());
    EXPECT_EQ(retrieval->apiBasePath().encoded(), "/-/vaults/photos/jobs/" + retrieval->id);

    ASSERT_EQ(await([&](auto done) { inventory->apiDescribe(done); }), nullptr);
    EXPECT_EQ(inventory->data["Action"].stringValue(), "InventoryRetrieval");
    EXPECT_EQ(inventory->data["JobDescription"].stringValue(), "weekly");
    EXPECT_EQ(inventory->data["Tier"].stringValue(), "Standard");
    ASSERT_TRUE(waitUntilDone(inventory));
    EXPECT_EQ(inventory->data["StatusCode"].stringValue(), "Succeeded");

    // An unknown job: the error, and the data as it was.
    JSON before = inventory->data;
    inventory->id = "no-such-job";
    ErrorPtr error = await([&](auto done) { inventory->apiDescribe(done); });
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 404);
    EXPECT_EQ(inventory->data, before);

    // A refused start hands back no job.
    Job::Ptr none = Job::create(vault);
    error = initiateRetrieval("no-such-archive", std::nullopt, std::nullopt,
                              GlacierRetrievalTier::standard, none);
    EXPECT_NE(error, nullptr);
    EXPECT_FALSE(none);
}

// An endpoint that answers each job start with 202, with or without a job id.
CaptureServer::Reply startAnswer(bool withJobId) {
    return [withJobId](const std::string&) {
        return CaptureServer::response(202, withJobId ? "x-amz-job-id: captured-job\r\n" : "", "");
    };
}

TEST_F(JobsTest, StartBodiesHoldExactlyTheGivenKeysInOrderAndNeedAJobId) {
    CaptureServer capture(startAnswer(true));
    auto region = std::make_shared<Region>("capture-1", "Capture", capture.baseURL(), false);
    vault->setAccountRegion(AccountRegion::create(account, region));

    Job::Ptr plain = startRetrieval("A1");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->id, "captured-job");
    startRetrieval("A2", std::string("0-1048575"), GlacierRetrievalTier::expedited);
    Job::Ptr full;
    ASSERT_EQ(initiateRetrieval("A3", std::string("d"), std::string("5-9"),
                                GlacierRetrievalTier::bulk, full),
              nullptr);
    startInventory();
    startInventory("inv");

    EXPECT_EQ(
        capture.bodies(),
        (std::vector<std::string>{
            R"({"Type":"archive-retrieval","ArchiveId":"A1"})",
            R"({"Type":"archive-retrieval","ArchiveId":"A2","RetrievalByteRange":"0-1048575","Tier":"Expedited"})",
            R"({"Type":"archive-retrieval","ArchiveId":"A3","Description":"d","RetrievalByteRange":"5-9","Tier":"Bulk"})",
            R"({"Type":"inventory-retrieval"})",
            R"({"Type":"inventory-retrieval","Description":"inv"})",
        }));
    CaptureServer noId(startAnswer(false));
    auto noIdRegion = std::make_shared<Region>("capture-2", "Capture", noId.baseURL(), false);
    vault->setAccountRegion(AccountRegion::create(account, noIdRegion));
    const std::string noIdKey = vault->jobs().lastInventoryRequestKey();

    Job::Ptr noIdJob = Job::create(vault);
    ErrorPtr noIdError = initiateInventory(std::nullopt, noIdJob);
    ASSERT_NE(noIdError, nullptr);
    EXPECT_EQ(noIdError->domain(), ModelError::kDomain);
    EXPECT_EQ(noIdError->code(), 0);
    EXPECT_FALSE(noIdJob);
    EXPECT_FALSE(UserDefaults::standard()->hasKey(noIdKey));
}

}  // namespace
}  // namespace quillon::testing
