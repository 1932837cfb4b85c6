// Tests of the job commands: start, list, describe, wait and resumable downloads.
// Threads: run on the test's thread; quillon and the simulator are child processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "support/CliFixture.h"
#include "support/SmallDisk.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;

// The command line against a simulator reached as the custom region "local-1".
class JobCliTest : public CliFixture {
  protected:
    explicit JobCliTest(double jobDelay = 0.5) : CliFixture(simulatorWithJobDelay(jobDelay)) {}

    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 0}});
    }

    std::string upload(const std::string& bytes) {
        return uploadArchive(sim.baseURL(), sim.accessKey(), sim.secretKey(), "photos", bytes);
    }

    // Starts a retrieval and waits for it; the job id.
    std::string readyRetrieval(const std::string& archiveId,
                               const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"job", "retrieve", archiveId, "--vault", "photos"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string jobId = runJSON(args).at("jobId");
        waitForJob(jobId);
        return jobId;
    }

    CliResult download(const std::string& jobId, const std::string& out) {
        return cli.run({"--json", "job", "download", jobId, "--vault", "photos", "--out", out});
    }
    // A download expected to succeed: its JSON document.
    nlohmann::json downloaded(const std::string& jobId, const std::string& out,
                              bool force = false) {
        std::vector<std::string> args = {"job",    "download", jobId, "--vault",
                                         "photos", "--out",    out};
        if (force) {
            args.push_back("--force");
        }
        return runJSON(args);
    }
    // The first part of a job output lands, every later fetch is cut, retries included.
    void cutAfterFirstPart() {
        sim.injectFault(R"([{"kind": "delay", "path": "/output"},
                            {"kind": "drop", "path": "/output", "count": -1}])"_json);
    }
};

TEST_F(JobCliTest, InventoryJobListDescribeAndWait) {
    auto document = runJSON({"job", "inventory", "--vault", "photos"});
    ASSERT_EQ(document.size(), 1u);
    std::string jobId = document.at("jobId");

    auto plain = runOK({"--quiet", "job", "inventory", "--vault", "photos"});
    EXPECT_EQ(plain.out.size(), jobId.size() + 1);

    auto jobs = runJSON({"job", "list", "--vault", "photos"});
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0]["jobId"], jobId);
    EXPECT_EQ(jobs[0]["Action"], "InventoryRetrieval");

    // Two polls meet a 503; with one attempt per request the wait itself takes them as "not
    // yet" rather than failing.
    sim.injectFault({{"method", "GET"}, {"path", "/jobs/" + jobId}, {"status", 503}, {"count", 2}});
    sim.clearRequestLog();
    auto waited = runJSON({"--retries", "1", "job", "wait", jobId, "--vault", "photos",
                           "--interval", "0.1", "--timeout", "30"});
    EXPECT_EQ(waited["StatusCode"], "Succeeded");
    EXPECT_EQ(sim.countRequests("GET", jobId) - sim.countRequests("GET", jobId, true), 2);

    auto described = runOK({"job", "describe", jobId, "--vault", "photos"});
    EXPECT_THAT(described.out, HasSubstr("Succeeded"));

    std::string out = temp.file("inventory.json");
    downloaded(jobId, out);
    EXPECT_TRUE(nlohmann::json::parse(contents(out)).contains("ArchiveList"));
}

// Usage errors exit 1, refusals 2; service ids may begin with a dash and reach the service as
// ids, not as options.
TEST_F(JobCliTest, RefusalsUsageErrorsAndIdsBeginningWithADash) {
    const std::string dashed = "-Xq7Jk2-_a9Z";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    } cases[] = {
        {{"job", "retrieve", "X", "--vault", "photos", "--tier", "Fast"}, 1, ""},
        {{"job", "retrieve", "X", "--vault", "photos", "--range", "9-3"}, 1, ""},
        {{"job", "retrieve", "X", "--vault", "bad/name"}, 1, ""},
        {{"job", "download", "J", "--vault", "photos"}, 1, ""},
        {{"job", "wait", "x", "--vault", "photos", "--bogus-option"}, 1, ""},
        {{"job", "retrieve", "no-such-archive", "--vault", "photos"}, 2, ""},
        {{"job", "wait", "no-such-job", "--vault", "photos", "--timeout", "5"}, 2, ""},
        {{"job", "wait", dashed, "--vault", "photos", "--timeout", "5"}, 2, dashed},
        {{"job", "retrieve", "--vault", "photos", dashed}, 2, dashed},
        {{"inventory", "import", "--vault", "photos", "--job", dashed}, 2, dashed},
    };
    for (const auto& c : cases) {
        runFails(c.args, c.exitCode, c.says);
    }
}

// Jobs that stay in progress for the whole test.
class PendingJobCliTest : public JobCliTest {
  protected:
    PendingJobCliTest() : JobCliTest(3600) {}
};

TEST_F(PendingJobCliTest, NoDownloadAndAWaitThatRunsOutOfTime) {
    std::string archiveId = upload(patternBytes(100));
    std::string jobId = runJSON({"job", "retrieve", archiveId, "--vault", "photos"}).at("jobId");
    auto early = download(jobId, temp.file("early.bin"));
    EXPECT_EQ(early.exitCode, 2);
    EXPECT_FALSE(fs::exists(temp.file("early.bin")));
    runFails({"job", "wait", jobId, "--vault", "photos", "--interval", "0.1", "--timeout", "0.1"},
             2, "InProgress");
}

TEST_F(JobCliTest, DownloadOfARangeRetrieval) {
    const std::string archive = patternBytes(3 * 1048576 + 77);
    std::string archiveId = upload(archive);
    ASSERT_FALSE(archiveId.empty());
    std::string jobId =
        readyRetrieval(archiveId, {"--tier", "expedited", "--range", "1048576-3145727"});
    auto job = runJSON({"job", "describe", jobId, "--vault", "photos"});
    EXPECT_EQ(job["Tier"], "Expedited");
    EXPECT_EQ(job["RetrievalByteRange"], "1048576-3145727");

    std::string out = temp.file("middle.bin");
    auto fetched = download(jobId, out);
    ASSERT_EQ(fetched.exitCode, 0) << fetched.err;
    EXPECT_TRUE(contents(out) == archive.substr(1048576, 2 * 1048576));
    // An existing file is kept unless --force; "-" is standard output.
    runFails({"job", "download", jobId, "--vault", "photos", "--out", out}, 2, "--force");
    std::ofstream(out, std::ios::binary | std::ios::app) << std::string(4096, 'x');
    downloaded(jobId, out, true);
    EXPECT_TRUE(contents(out) == archive.substr(1048576, 2 * 1048576));
    auto piped = runOK({"job", "download", jobId, "--vault", "photos", "--out", "-"});
    EXPECT_TRUE(piped.out == archive.substr(1048576, 2 * 1048576));
    EXPECT_FALSE(fs::exists("-"));
    EXPECT_FALSE(fs::exists(out + ".part"));
    auto result = nlohmann::json::parse(fetched.out);
    EXPECT_EQ(result["treeHash"], TreeHash::treeHashOfBuffer(archive.substr(1048576, 2 * 1048576)));
    EXPECT_EQ(result["resumedAt"], 0);
}

TEST_F(JobCliTest, ArchivesNamedWithAccentsPercentSignsSpaceRunsOrAFullLengthPath) {
    std::string folder;
    for (int i = 0; i < 9; ++i) {
        folder += std::string(100, 'd') + "/";
    }
    folder += std::string(106, 'e');  // with "/long.txt" the path has 1,024 characters
    struct Named {
        std::string folder, name;
    };
    const std::vector<Named> files = {
        {"", "Café Zoë.jpg"}, {"", "100%.txt"}, {"", "a  b.txt"}, {folder, "long.txt"}};
    std::map<std::string, std::string> ids;  // path in the vault -> archive id
    for (const auto& file : files) {
        std::string local = temp.file(file.name);
        std::ofstream(local, std::ios::binary) << "bytes of " << file.name;
        std::vector<std::string> args = {"upload", local, "--vault", "photos"};
        if (!file.folder.empty()) {
            args.insert(args.end(), {"--folder", file.folder});
        }
        std::string path = file.folder.empty() ? file.name : file.folder + "/" + file.name;
        ids[path] = runJSON(args).at(0).at("archiveId");
    }
    ASSERT_EQ(ids.rbegin()->first.size(), 1024u);

    std::string inventoryJob = runJSON({"job", "inventory", "--vault", "photos"}).at("jobId");
    waitForJob(inventoryJob);
    runOK({"inventory", "import", "--vault", "photos", "--job", inventoryJob});
    std::map<std::string, std::string> listed;
    for (const std::string& at : {std::string(), folder}) {
        for (const auto& item : runJSON({"inventory", "ls", "--vault", "photos", at})) {
            if (!item.value("isFolder", false)) {
                listed[item.at("name")] = item.at("archiveId");
            }
        }
    }
    EXPECT_EQ(listed, ids);

    for (const auto& [path, id] : ids) {
        std::string out = temp.file("out-" + id.substr(0, 8));
        downloaded(readyRetrieval(id), out);
        EXPECT_EQ(contents(out), "bytes of " + fs::path(path).filename().string()) << path;
    }
}

TEST_F(JobCliTest, PartsInParallelThroughFaultsThenACutDownloadResumesAndForgeriesYieldNothing) {
    const std::string archive = patternBytes(3 * 1048576 + 999);
    std::string jobId = readyRetrieval(upload(archive));
    std::string out = temp.file("photo.bin");
    setPrefs({{"downloadPartSize", "1"}, {"maxConcurrentDownloads", "3"}});

    // A dropped connection is sent again by the request frame; a part with a forged hash is
    // fetched again alone.
    sim.injectFault(nlohmann::json::array({{{"kind", "drop"}, {"path", "/output"}},
                                           {{"kind", "wrong-tree-hash"}, {"path", "/output"}}}));
    sim.clearRequestLog();
    EXPECT_EQ(downloaded(jobId, out)["treeHash"], TreeHash::treeHashOfBuffer(archive));
    EXPECT_TRUE(contents(out) == archive);
    EXPECT_EQ(sim.requestLog().size(), 4u + 2u + 1u);  // describe, 4 parts, 2 fetched again
    fs::remove(out);

    // The first part lands, every later fetch is cut: the verified start is kept.
    setPrefs({{"maxConcurrentDownloads", "1"}});
    cutAfterFirstPart();
    auto cut = download(jobId, out);
    sim.clearFaults();
    EXPECT_EQ(cut.exitCode, 2);
    EXPECT_THAT(cut.err, HasSubstr(".part"));
    EXPECT_FALSE(fs::exists(out));
    ASSERT_TRUE(fs::exists(out + ".part"));
    const auto partSize = static_cast<std::int64_t>(fs::file_size(out + ".part"));
    ASSERT_EQ(partSize, 1048576);

    sim.clearRequestLog();
    EXPECT_EQ(downloaded(jobId, out)["resumedAt"], partSize);
    auto log = sim.requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back()["target"], "/-/vaults/photos/jobs/" + jobId + "/output");
    EXPECT_EQ(log.back()["status"], 206);
    EXPECT_TRUE(contents(out) == archive);
    EXPECT_FALSE(fs::exists(out + ".part"));

    // A part file of another job is never resumed: the other job's output starts afresh.
    const std::string other(archive.size(), 'b');
    std::string otherJob = readyRetrieval(upload(other));
    cutAfterFirstPart();
    ASSERT_EQ(download(jobId, temp.file("shared.bin")).exitCode, 2);
    sim.clearFaults();
    ASSERT_TRUE(fs::exists(temp.file("shared.bin.part")));
    EXPECT_EQ(downloaded(otherJob, temp.file("shared.bin"))["resumedAt"], 0);
    EXPECT_TRUE(contents(temp.file("shared.bin")) == other);

    // A part file longer than the output is not trusted: the download starts afresh.
    std::ofstream(out + ".part") << archive << "extra";
    EXPECT_EQ(downloaded(jobId, out, true)["resumedAt"], 0);
    EXPECT_TRUE(contents(out) == archive);

    // A forged tree hash never yields the file, fetched here in one part.
    fs::remove(out);
    setPrefs({{"downloadPartSize", "4"}});
    sim.injectFault({{"kind", "wrong-tree-hash"}, {"path", "/output"}, {"count", -1}});
    auto forged = download(jobId, out);
    EXPECT_EQ(forged.exitCode, 2);
    EXPECT_THAT(forged.err, HasSubstr("tree hash"));
    EXPECT_TRUE(forged.out.empty());
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".part"));
    // Nor does it cost the file that --force would have replaced.
    std::ofstream(out) << "the older file";
    runFails({"job", "download", jobId, "--vault", "photos", "--out", out, "--force"}, 2,
             "tree hash");
    sim.clearFaults();
    EXPECT_EQ(contents(out), "the older file");
    fs::remove(out);

    // The way to the file is blocked by a regular file where a directory should be.
    std::ofstream(temp.file("blocker")) << "x";
    auto blocked = download(jobId, temp.file("blocker") + "/photo.bin");
    EXPECT_EQ(blocked.exitCode, 2);

    downloaded(jobId, out);
    EXPECT_TRUE(contents(out) == archive);
}

TEST_F(JobCliTest, PartsAreCheckedAsTheyArriveAndAKilledDownloadKeepsWhatItChecked) {
    constexpr std::size_t kMiB = 1048576;
    const std::string archive = patternBytes(6 * kMiB + 5);
    const std::string jobId = readyRetrieval(upload(archive));
    setPrefs({{"downloadPartSize", "1"}, {"maxConcurrentDownloads", "2"}});
    const std::string out = temp.file("photo.bin");
    // Nothing is read back to be checked: what is read is what came over the connection.
    const CliResult fresh = download(jobId, out);
    ASSERT_EQ(fresh.exitCode, 0) << fresh.err;
    EXPECT_TRUE(contents(out) == archive);
    // A second read would double the count; the slack is the process's own reads (its libraries
    // and databases, much more under the sanitizers).
    EXPECT_LE(static_cast<double>(fresh.bytesRead), 1.5 * static_cast<double>(archive.size()));
    fs::remove(out);

    // What a process killed in the middle leaves: parts 0 and 2 written and noted, half of part
    // 3 written and not noted, a hole for part 1, a note cut short.
    auto piece = [&](std::size_t part) { return archive.substr(part * kMiB, kMiB); };
    std::string left(3 * kMiB + kMiB / 2, '\0');
    left.replace(0, kMiB, piece(0));
    left.replace(2 * kMiB, kMiB, piece(2));
    left.replace(3 * kMiB, kMiB / 2, std::string(kMiB / 2, 'x'));
    std::ofstream(out + ".part", std::ios::binary) << left;
    std::ofstream(out + ".part.job")
        << jobId << "\n0 " << kMiB << " " << TreeHash::treeHashOfBuffer(piece(0)) << "\n"
        << 2 * kMiB << " " << kMiB << " " << TreeHash::treeHashOfBuffer(piece(2)) << "\n"
        << 3 * kMiB << " 104";
    sim.clearRequestLog();
    const CliResult resumed = download(jobId, out);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_EQ(nlohmann::json::parse(resumed.out)["resumedAt"], 2 * kMiB);
    EXPECT_EQ(sim.countRequests("GET", "/output"), 5);  // parts 1, 3, 4, 5 and 6
    EXPECT_TRUE(contents(out) == archive);
    // The kept parts are read back once, to be hashed into the whole file's tree hash.
    EXPECT_LE(static_cast<double>(resumed.bytesRead), 1.5 * static_cast<double>(archive.size()));
    EXPECT_FALSE(fs::exists(out + ".part") || fs::exists(out + ".part.job"));

    // A noted part whose bytes were damaged since is fetched again, not trusted.
    std::ofstream(out + ".part", std::ios::binary) << std::string(kMiB, 'y');
    std::ofstream(out + ".part.job")
        << jobId << "\n0 " << kMiB << " " << TreeHash::treeHashOfBuffer(piece(0)) << "\n";
    EXPECT_EQ(downloaded(jobId, out, true)["resumedAt"], 0);
    EXPECT_TRUE(contents(out) == archive);
}

// A disk that fills in the middle of a download ends it with the reason, whichever part's write
// failed, and leaves no target behind.
TEST_F(JobCliTest, ADiskThatFillsEndsTheDownloadWithTheReasonAndNoTarget) {
    constexpr std::size_t kMiB = 1048576;
    const std::string jobId = readyRetrieval(upload(patternBytes(6 * kMiB)));
    setPrefs({{"downloadPartSize", "1"}, {"maxConcurrentDownloads", "2"}});
    const SmallDisk small(temp.file("small"), "3m");
    ASSERT_TRUE(small.mounted()) << small.failure();
    const CliResult full = download(jobId, small.path() + "/photo.bin");
    EXPECT_NE(full.exitCode, 0);
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
    EXPECT_FALSE(fs::exists(small.path() + "/photo.bin"));
}

}  // namespace
}  // namespace quillon::testing
