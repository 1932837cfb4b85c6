// Tests of job output downloads: whole, ranged and inventory, and a job still in progress.
// Threads: the test's thread awaits each download; the simulator is a separate process.
#include "JobFixture.h"

namespace quillon::testing {
namespace {

using JobDownloadTest = JobFixture;

// One archive with a retrieval of the whole, one of its second megabyte, and an inventory.
TEST_F(JobDownloadTest, WholeRangedAndInventoryOutputsWithProgressTreeHashAndFailures) {
    const std::string archive = patternBytes(2 * 1048576 + 4321);
    std::string archiveId = upload(archive);
    ASSERT_FALSE(archiveId.empty());
    Job::Ptr job = startRetrieval(archiveId);
    Job::Ptr ranged = startRetrieval(archiveId, std::string("1048576-2097151"));
    Job::Ptr inventory = startInventory();
    for (const Job::Ptr& started : {job, ranged, inventory}) {
        ASSERT_TRUE(started);
        ASSERT_TRUE(waitUntilDone(started));
    }

    Download whole = download(job, std::nullopt);
    ASSERT_EQ(whole.error, nullptr);
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.bytes == archive);
    // Returned as the service sent it, the tree hash of what was received.
    EXPECT_EQ(whole.treeHash, TreeHash::treeHashOfBuffer(archive));
    EXPECT_EQ(whole.lastDone, static_cast<std::int64_t>(archive.size()));
    EXPECT_EQ(whole.lastExpected, static_cast<std::int64_t>(archive.size()));
    EXPECT_EQ(whole.stepSum, archive.size());

    Download head = download(job, Job::ByteRange{0, 99});
    ASSERT_EQ(head.error, nullptr);
    EXPECT_EQ(head.status, 206);
    EXPECT_TRUE(head.bytes == archive.substr(0, 100));
    EXPECT_EQ(head.lastExpected, 100);
    // The service gives no tree hash for a window that is not whole megabytes.
    EXPECT_EQ(head.treeHash, "");

    const std::string secondMB = archive.substr(1048576, 1048576);
    Download second = download(job, Job::ByteRange{1048576, 2097151});
    ASSERT_EQ(second.error, nullptr);
    EXPECT_TRUE(second.bytes == secondMB);
    EXPECT_EQ(second.treeHash, TreeHash::treeHashOfBuffer(secondMB));

    Download output = download(ranged, std::nullopt);
    ASSERT_EQ(output.error, nullptr);
    EXPECT_TRUE(output.bytes == secondMB);
    EXPECT_EQ(output.treeHash, ranged->data["SHA256TreeHash"].stringValue());
    // A range past the end of the output.
    Download beyond = download(ranged, Job::ByteRange{2000000, 2000010});
    ASSERT_NE(beyond.error, nullptr);
    EXPECT_EQ(beyond.error->code(), 416);

    // An inventory's output has no tree hash.
    Download listing = download(inventory, std::nullopt);
    ASSERT_EQ(listing.error, nullptr);
    EXPECT_EQ(listing.treeHash, "");
    EXPECT_EQ(JSON::parse(listing.bytes)["ArchiveList"].arrayValue().size(), 1u);
    EXPECT_EQ(static_cast<std::int64_t>(listing.bytes.size()),
              inventory->data["InventorySizeInBytes"].int64Value());

    // The hash is handed on, not checked.
    sim.injectFault({{"kind", "wrong-tree-hash"}, {"path", "/output"}});
    Download forged = download(job, std::nullopt);
    EXPECT_EQ(forged.error, nullptr);
    EXPECT_TRUE(forged.bytes == archive);
    EXPECT_FALSE(forged.treeHash.empty());
    EXPECT_NE(forged.treeHash, whole.treeHash);

    // A cut connection fails the download after part of the bytes.
    sim.injectFault({{"kind", "drop"}, {"path", "/output"}});
    Download cut = download(ranged, std::nullopt);
    ASSERT_NE(cut.error, nullptr);
    EXPECT_EQ(cut.treeHash, "");
    EXPECT_LT(cut.bytes.size(), 1048576u);
}

// Jobs that stay in progress for the whole test.
class PendingJobDownloadTest : public JobFixture {
  protected:
    PendingJobDownloadTest() : JobFixture(3600) {}
};

TEST_F(PendingJobDownloadTest, OutputOfAJobInProgressIsRefused) {
    Job::Ptr job = startRetrieval(upload(patternBytes(10)));
    ASSERT_TRUE(job);
    ASSERT_EQ(await([&](auto done) { job->apiDescribe(done); }), nullptr);
    EXPECT_EQ(job->statusCode(), Job::StatusCode::InProgress);
    Download early = download(job, std::nullopt);
    ASSERT_NE(early.error, nullptr);
    EXPECT_EQ(early.error->code(), 400);
    EXPECT_EQ(early.treeHash, "");
    EXPECT_TRUE(early.bytes.empty());
}

}  // namespace
}  // namespace quillon::testing
