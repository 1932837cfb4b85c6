// Tests of multipart uploads: parts across pages, ranges, bad parts, completion and abort.
// Threads: the test's thread awaits each completion; the simulator is a separate process.
#include "TransfersFixture.h"
#include "interfaces/files/TreeHash.h"
#include "inventory/Inventory.h"

namespace quillon::testing {
namespace {

constexpr std::int64_t kMiB = 1048576;

class MultipartUploadTest : public TransfersFixture {
  protected:
    MultipartUploadPtr initiate(const std::string& description, std::int64_t partSize) {
        MultipartUploadPtr upload;
        ErrorPtr error = await([&](auto done) {
            vault->multipartUploads().apiInitiate(description, partSize, into(upload, done));
        });
        EXPECT_EQ(error, nullptr);
        return upload;
    }

    ErrorPtr sendPart(const MultipartUploadPtr& upload, const std::string& path,
                      const std::string& content, std::int64_t from, std::int64_t to) {
        std::string window = content.substr(from, to - from + 1);
        return await([&](auto done) {
            upload->apiUpload(path, from, to, TreeHash::treeHashOfBuffer(window),
                              TreeHash::sha256Hex(window), nullptr, done);
        });
    }

    std::vector<MultipartUploadPtr> listUploads() {
        std::vector<MultipartUploadPtr> listed;
        EXPECT_EQ(
            await([&](auto done) { vault->multipartUploads().apiGetAll(into(listed, done)); }),
            nullptr);
        return listed;
    }
};

TEST_F(MultipartUploadTest, PartsListedAcrossPagesThenCompletedAndListedByTheService) {
    std::string content = referencePattern(3 * kMiB + 100);
    std::string path = writeFile("big.bin", content);
    auto upload = initiate("big.bin", kMiB);
    ASSERT_NE(upload, nullptr);
    EXPECT_TRUE(upload->data.isNull());

    std::vector<MultipartUploadPtr> listed = listUploads();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]->id, upload->id);
    EXPECT_EQ(listed[0]->data["ArchiveDescription"].stringValue(), "big.bin");

    for (std::int64_t from = 0; from < static_cast<std::int64_t>(content.size()); from += kMiB) {
        std::int64_t to = std::min<std::int64_t>(content.size(), from + kMiB) - 1;
        ASSERT_EQ(sendPart(upload, path, content, from, to), nullptr) << from;
    }
    // One part per page: the listing follows the markers.
    MultipartUpload::Parts firstPage;
    std::string marker;
    ASSERT_EQ(await([&](auto done) {
                  upload->apiGetParts(1, "",
                                      [&, done](MultipartUpload::Parts page, std::int64_t,
                                                const std::string& next, ErrorPtr error) {
                                          firstPage = std::move(page);
                                          marker = next;
                                          done(error);
                                      });
              }),
              nullptr);
    EXPECT_EQ(firstPage.size(), 1u);
    EXPECT_FALSE(marker.empty());
    MultipartUpload::Parts all;
    std::int64_t partSize = 0;
    ASSERT_EQ(await([&](auto done) {
                  upload->apiGetAllParts(
                      [&, done](MultipartUpload::Parts found, std::int64_t size, ErrorPtr error) {
                          all = std::move(found);
                          partSize = size;
                          done(error);
                      });
              }),
              nullptr);
    EXPECT_EQ(partSize, kMiB);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all["3145728-3145827"], TreeHash::treeHashOfBuffer(content.substr(3 * kMiB)));

    std::optional<std::string> archiveID;
    std::string treeHash = TreeHash::treeHashOfBuffer(content);
    ASSERT_EQ(await([&](auto done) {
                  upload->apiComplete(treeHash, content.size(), "big.bin", into(archiveID, done));
              }),
              nullptr);
    ASSERT_TRUE(archiveID.has_value());
    auto entries = vault->archives().all();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->treeHash, treeHash);
    EXPECT_NE(vault->inventoryManager().latest()->getByName("big.bin"), nullptr);
    auto service = serviceInventory();
    ASSERT_TRUE(service.contains(*archiveID));
    EXPECT_EQ(service[*archiveID].first, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(service[*archiveID].second, treeHash);
}

TEST_F(MultipartUploadTest, PartRequestNamesItsBytesInContentRange) {
    // Answers a part with the tree hash it was sent, as the service does.
    CaptureServer server([](const std::string& request) {
        const std::string name = "x-amz-sha256-tree-hash: ";
        const auto at = request.find(name) + name.size();
        return CaptureServer::response(
            204, name + request.substr(at, request.find("\r\n", at) - at) + "\r\n", "");
    });
    auto upload = std::make_shared<MultipartUpload>(vaultAt(server, "photos"), "upload-1");
    const std::string content(300, 'c');
    EXPECT_EQ(sendPart(upload, writeFile("part.bin", content), content, 100, 199), nullptr);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.requests()[0].find("\r\nContent-Range: bytes 100-199/*\r\n"),
              std::string::npos)
        << server.requests()[0];
}

TEST_F(MultipartUploadTest, BadPartsFailClearlyAndAbortingForgetsTheUpload) {
    std::string content = referencePattern(2 * kMiB);
    std::string path = writeFile("two.bin", content);
    auto upload = initiate("two.bin", kMiB);
    ASSERT_NE(upload, nullptr);
    sim.clearRequestLog();

    // A range beyond the file, and a directory where the file should be: no request.
    EXPECT_THROW(upload->apiUpload(path, kMiB, 3 * kMiB - 1, "x", "y", nullptr, [](ErrorPtr) {}),
                 ModelError);
    EXPECT_THROW(upload->apiUpload(home.path(), 0, 10, "x", "y", nullptr, [](ErrorPtr) {}),
                 ModelError);
    EXPECT_TRUE(sim.requestLog().empty());

    sim.injectFault({{"kind", "wrong-tree-hash"}, {"method", "PUT"}});
    ErrorPtr mismatch = sendPart(upload, path, content, 0, kMiB - 1);
    ASSERT_NE(mismatch, nullptr);
    EXPECT_EQ(mismatch->domain(), "Frostvale");
    EXPECT_EQ(mismatch->code(), 1);
    EXPECT_NE(mismatch->localizedDescription().find("tree hash"), std::string::npos)
        << mismatch->localizedDescription();

    // Every attempt of the request frame is cut.
    sim.injectFault({{"kind", "drop"}, {"method", "PUT"}, {"count", -1}});
    EXPECT_NE(sendPart(upload, path, content, kMiB, 2 * kMiB - 1), nullptr);
    sim.clearFaults();

    ASSERT_EQ(await([&](auto done) { upload->apiDelete(done); }), nullptr);
    EXPECT_TRUE(listUploads().empty());
    EXPECT_EQ(journalCount(), 0);
}

TEST_F(MultipartUploadTest, APartWithoutItsRangeIsSkippedAndALaterPageEntryWins) {
    CaptureServer server([](const std::string& request) {
        const bool second = request.find("marker=m") != std::string::npos;
        return CaptureServer::response(
            200, "Content-Type: application/json\r\n",
            second ? R"({"Parts": [{"RangeInBytes": "0-9", "SHA256TreeHash": "new"},
                                   {"RangeInBytes": "10-19", "SHA256TreeHash": "b"}],
                         "PartSizeInBytes": 10, "Marker": null})"
                   : R"({"Parts": [{"RangeInBytes": "0-9", "SHA256TreeHash": "old"},
                                   {"SHA256TreeHash": "no range"}, 5],
                         "PartSizeInBytes": 10, "Marker": "m"})");
    });
    auto upload = std::make_shared<MultipartUpload>(vaultAt(server, "photos"), "upload-1");
    MultipartUpload::Parts all;
    ASSERT_EQ(await([&](auto done) {
                  upload->apiGetAllParts(
                      [&, done](MultipartUpload::Parts found, std::int64_t, ErrorPtr error) {
                          all = std::move(found);
                          done(error);
                      });
              }),
              nullptr);
    EXPECT_EQ(all, (MultipartUpload::Parts{{"0-9", "new"}, {"10-19", "b"}}));
}

TEST(MultipartUploadListing, ElementsWithoutAnIdAreLeftOut) {
    JSON json = JSON::parse(
        R"({"UploadsList": [{"MultipartUploadId": "u1", "PartSizeInBytes": 1048576},
                            {"ArchiveDescription": "no id"}, {"MultipartUploadId": 7}]})");
    auto uploads = MultipartUpload::multiple(json, nullptr);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0]->id, "u1");
    EXPECT_EQ(uploads[0]->data["PartSizeInBytes"].int64Value(), 1048576);
    EXPECT_EQ(uploads[0]->description(), "MultipartUpload u1");
}

}  // namespace
}  // namespace quillon::testing
