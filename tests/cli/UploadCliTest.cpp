// Tests of the upload and multipart commands: hashes, retries, resumes, skips and the trace.
// Threads: run on the test's thread; quillon and the simulator are child processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "interfaces/db/Database.h"
#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kMiB = 1048576;

// Upload, hash and archive commands against a simulator reached as the custom region "local-1".
class UploadCliTest : public CliFixture {
  protected:
    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 0}});
    }

    // Writes `size` bytes (a pattern, or `fill` repeated) to the file `name` of the temporary
    // directory, making its folder; answers its path.
    std::string writeFile(const std::string& name, std::size_t size, char fill = '\0') {
        fs::create_directories(fs::path(temp.file(name)).parent_path());
        std::ofstream(temp.file(name), std::ios::binary)
            << (fill ? std::string(size, fill) : patternBytes(size));
        return temp.file(name);
    }

    // The service's inventory of the vault: archive id -> the archive's entry.
    std::map<std::string, nlohmann::json> serviceInventory() {
        std::string jobId = runJSON({"job", "inventory", "--vault", "photos"}).value("jobId", "");
        waitForJob(jobId);
        std::string out = temp.file("inventory-" + jobId.substr(0, 8) + ".json");
        runOK({"job", "download", jobId, "--vault", "photos", "--out", out});
        std::map<std::string, nlohmann::json> archives;
        const auto document = nlohmann::json::parse(contents(out));
        for (const auto& entry : document["ArchiveList"]) {
            archives[entry["ArchiveId"]] = entry;
        }
        return archives;
    }

    // Takes an inventory of the vault a few seconds of the service's clock after everything so
    // far (an unanswered store counts until an inventory at least a second after it), and
    // imports it.
    void importInventory() {
        sim.advanceClock(5);
        const std::string jobId = runJSON({"job", "inventory", "--vault", "photos"})["jobId"];
        waitForJob(jobId);
        runOK({"inventory", "import", "--vault", "photos", "--job", jobId});
    }

    // The text of the vault's "vault.log", found through `quillon log` once the vault is listed.
    std::string vaultLog() {
        runOK({"vault", "sync"});
        for (const auto& file : runJSON({"log"})) {
            if (file["scope"].get<std::string>().ends_with("/photos")) {
                return contents(file["path"]);
            }
        }
        return "";
    }

    // Starts a multipart upload with another client (libcurl's own signer); answers its id.
    std::string startUploadOutside(const std::string& description, std::int64_t partSize) {
        auto started = sim.send("POST", "/-/vaults/photos/multipart-uploads", "",
                                {"x-amz-archive-description: " + description,
                                 "x-amz-part-size: " + std::to_string(partSize)});
        EXPECT_EQ(started.status, 201) << started.body << started.transportError;
        return started.header("x-amz-multipart-upload-id");
    }
};

TEST_F(UploadCliTest, SingleAndMultipartUploadsReachTheServiceWithTheirHashes) {
    setPrefs({{"uploadPartSize", "1"}, {"maxConcurrentUploads", "3"}});
    std::string small = writeFile("small.txt", 1000);
    std::string big = writeFile("big.bin", 5 * kMiB + 3);

    auto hashes = runJSON({"hash", small, big});
    ASSERT_EQ(hashes.size(), 2u);
    auto plain = cli.run({"hash", small});
    EXPECT_EQ(plain.out, hashes[0]["treeHash"].get<std::string>() + "  1000  " + small + "\n");

    auto uploaded = runJSON({"upload", small, big, "--vault", "photos", "--folder", "trip/day 1"});
    ASSERT_EQ(uploaded.size(), 2u);
    EXPECT_EQ(sim.countRequests("PUT", "multipart-uploads"), 6);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(uploaded[i]["treeHash"], hashes[i]["treeHash"]);
        EXPECT_EQ(uploaded[i]["size"], hashes[i]["size"]);
    }
    runOK({"mkdir", "empty folder", "--vault", "photos"});

    auto listed = serviceInventory();
    ASSERT_EQ(listed.size(), 3u);
    for (const auto& archive : uploaded) {
        const auto& entry = listed[archive["archiveId"]];
        EXPECT_EQ(entry["Size"], archive["size"]);
        EXPECT_EQ(entry["SHA256TreeHash"], archive["treeHash"]);
    }
    EXPECT_EQ(listed[uploaded[1]["archiveId"]]["ArchiveDescription"], "trip/day 1/big.bin");

    auto removed = runOK({"delete", uploaded[0]["archiveId"], "--vault", "photos"});
    EXPECT_THAT(removed.out, HasSubstr("trip/day 1/small.txt"));
    // The last operation of each run reaches the vault log before the process exits.
    const std::string log = vaultLog();
    for (const auto& archive : uploaded) {
        EXPECT_THAT(log, HasSubstr("Archive added: " + archive["archiveId"].get<std::string>()));
    }
    EXPECT_THAT(log, HasSubstr("Archive deleted: " + uploaded[0]["archiveId"].get<std::string>()));
    EXPECT_FALSE(serviceInventory().contains(uploaded[0]["archiveId"]));
}

TEST_F(UploadCliTest, TheHashCacheTellsFilesOfOneNameSizeAndTimeApart) {
    std::string first = writeFile("d1/same.bin", 3000);
    std::string second = writeFile("d2/same.bin", 3000, 'x');
    fs::last_write_time(second, fs::last_write_time(first));
    auto hashIn = [&](const std::string& directory) {
        cli.setWorkingDirectory(temp.file(directory));
        auto hashed = runOK({"hash", "same.bin"});
        return hashed.out.substr(0, hashed.out.find(' '));
    };
    const std::string firstHash = hashIn("d1");
    const std::string secondHash = hashIn("d2");
    EXPECT_NE(firstHash, secondHash);
    EXPECT_EQ(runJSON({"hash", second})[0]["treeHash"], secondHash);

    // Replaced by another file of the same size and time: hashed again, and the upload stores
    // the file as it is now, once.
    fs::last_write_time(writeFile("d2/new.bin", 3000, 'y'), fs::last_write_time(second));
    fs::rename(temp.file("d2/new.bin"), second);
    const std::string replacedHash = hashIn("d2");
    EXPECT_NE(replacedHash, secondHash);
    EXPECT_EQ(runJSON({"upload", "same.bin", "--vault", "photos"})[0]["treeHash"], replacedHash);
    auto listed = serviceInventory();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.begin()->second["SHA256TreeHash"], replacedHash);
}

TEST_F(UploadCliTest, AWrongTreeHashInTheAnswerNamesTheStoredArchive) {
    std::string path = writeFile("answer.bin", 5000);
    sim.injectFault({{"kind", "wrong-tree-hash"}, {"method", "POST"}, {"path", "/archives"}});
    auto failed = cli.run({"upload", path, "--vault", "photos"});
    EXPECT_EQ(failed.exitCode, 2);
    auto stored = serviceInventory();
    ASSERT_EQ(stored.size(), 1u);
    const std::string archiveId = stored.begin()->first;
    EXPECT_THAT(failed.err, HasSubstr(archiveId));
    EXPECT_THAT(failed.err, Not(HasSubstr("Frostvale error")));

    // Following the advice leaves one archive of the file, not two.
    ASSERT_THAT(failed.err, HasSubstr("quillon delete " + archiveId + " --vault photos"));
    runOK({"delete", archiveId, "--vault", "photos"});
    runOK({"upload", path, "--vault", "photos"});
    EXPECT_EQ(serviceInventory().size(), 1u);
}

TEST_F(UploadCliTest, TransientFaultsAreRetriedAndOtherRefusalsAreNot) {
    setPrefs({{"uploadPartSize", "1"}, {"maxConcurrentUploads", "4"}});
    std::string small = writeFile("small.txt", 1000);
    std::string big = writeFile("big.bin", 6 * kMiB + 5);
    // The parts meet two 503s, two throttling answers and a dropped connection; the single
    // upload one 500, answered before anything is stored.
    sim.injectFault(R"([
        {"method": "PUT", "path": "/multipart-uploads/", "status": 503, "count": 2,
         "code": "ServiceUnavailableException"},
        {"method": "PUT", "path": "/multipart-uploads/", "status": 400, "count": 2,
         "code": "ThrottlingException", "type": "Client"},
        {"method": "PUT", "path": "/multipart-uploads/", "kind": "drop"},
        {"method": "POST", "path": "/archives", "status": 500}])"_json);
    auto uploaded = runOK({"--json", "--verbose", "upload", small, big, "--vault", "photos"});
    auto documents = nlohmann::json::parse(uploaded.out);
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_EQ(occurrences(uploaded.err, "Retry "), 6) << uploaded.err;
    EXPECT_EQ(sim.countRequests("POST", "/archives"), 2);
    auto listed = serviceInventory();
    ASSERT_EQ(listed.size(), 2u);  // one archive per file: the refused attempt stored nothing
    for (const auto& document : documents) {
        EXPECT_EQ(listed[document["archiveId"]]["SHA256TreeHash"], document["treeHash"]);
    }

    // A refusal that would only repeat fails at once; --retries 1 sends a request only once.
    const std::vector<std::pair<nlohmann::json, std::vector<std::string>>> refusals = {
        {R"({"method": "POST", "status": 400, "code": "InvalidParameterValueException"})"_json, {}},
        {R"({"method": "POST", "status": 500})"_json, {"--retries", "1"}}};
    for (const auto& [fault, options] : refusals) {
        sim.injectFault(fault);
        sim.clearRequestLog();
        std::vector<std::string> args = options;
        args.insert(args.end(), {"upload", writeFile("refused.txt", 10), "--vault", "photos"});
        EXPECT_EQ(cli.run(args).exitCode, 2) << fault;
        EXPECT_EQ(sim.countRequests("POST", "/archives"), 1) << fault;
    }
}

TEST_F(UploadCliTest, DebugTraceRedactsSecretsAndFourWorkersKeepFourConnections) {
    setPrefs({{"uploadPartSize", "1"}, {"maxConcurrentUploads", "4"}});
    std::string big = writeFile("thirty-two.bin", 32 * kMiB);
    auto uploaded = runOK({"--debug", "upload", big, "--vault", "photos"});
    EXPECT_EQ(occurrences(uploaded.err, "[http] > PUT "), 32);
    EXPECT_EQ(occurrences(uploaded.err, "[http] < 204 "), 32);
    // The parts go through the four workers, each on its own connection; the two POSTs
    // (initiate, complete) never go on a reused one.
    auto answersOnNewConnections = [&](const std::string& status) {
        const std::regex line(R"(\[http\] < )" + status + " in [0-9]+ ms, new connection");
        return std::distance(std::sregex_iterator(uploaded.err.begin(), uploaded.err.end(), line),
                             std::sregex_iterator());
    };
    EXPECT_GE(answersOnNewConnections("204"), 1);
    EXPECT_LE(answersOnNewConnections("204"), 4) << uploaded.err.substr(0, 4000);
    EXPECT_EQ(answersOnNewConnections("201"), 2);
    EXPECT_GT(occurrences(uploaded.err, "Signature=<redacted>"), 32);
    EXPECT_FALSE(std::regex_search(uploaded.err, std::regex("Signature=[0-9a-f]")));
    EXPECT_EQ(uploaded.err.find(sim.secretKey()), std::string::npos);
}

TEST_F(UploadCliTest, ABatchGoesOnPastAFailureAndReRunsSendOnlyWhatIsMissing) {
    std::string failing = writeFile("a-fails.txt", 100);
    std::string empty = writeFile("b-empty", 0);
    std::string second = writeFile("c.txt", 200);
    std::string third = writeFile("dir/d.txt", 300);
    const std::vector<std::string> batch = {"upload",         failing,   empty,   second,
                                            temp.file("dir"), "--vault", "photos"};
    // A wrong vault name is reported before any file is read.
    EXPECT_EQ(cli.run({"upload", failing, "--vault", "nosuchvault"}).exitCode, 2);
    EXPECT_EQ(cli.run({"upload", temp.file("missing"), "--vault", "photos"}).exitCode, 2);

    sim.injectFault(R"({"method": "POST", "path": "/archives", "status": 400,
                        "code": "InvalidParameterValueException", "message": "refused"})"_json);
    sim.clearRequestLog();
    auto first = runFails(batch, 2, "a-fails.txt");
    EXPECT_THAT(first.err, HasSubstr("b-empty"));
    EXPECT_THAT(first.err, HasSubstr("failed 1"));
    std::istringstream lines(first.out);
    std::map<std::string, std::string> printed;  // path -> archive id
    for (std::string line; std::getline(lines, line);) {
        printed[line.substr(line.find("  ") + 2)] = line.substr(0, line.find("  "));
    }
    ASSERT_EQ(printed.size(), 2u) << first.out;
    EXPECT_TRUE(printed.contains(second) && printed.contains(third)) << first.out;
    auto listed = serviceInventory();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[printed[third]]["ArchiveDescription"], "dir/d.txt");

    sim.clearRequestLog();
    auto entries =
        runJSON({"upload", failing, empty, second, temp.file("dir"), "--vault", "photos"});
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_FALSE(entries[0].value("skipped", false));
    EXPECT_TRUE(entries[1].value("skipped", false) && entries[2].value("skipped", false));
    EXPECT_EQ(entries[2]["archiveId"], printed[second]);
    EXPECT_EQ(sim.countRequests("POST", "/archives"), 1);

    sim.clearRequestLog();
    auto dry = runOK({"upload", failing, second, "--vault", "photos", "--dry-run", "--force"});
    EXPECT_THAT(dry.out, HasSubstr("would upload"));
    EXPECT_EQ(runOK(batch).out, "");
    EXPECT_EQ(sim.countRequests("POST", "/archives"), 0);
    EXPECT_EQ(serviceInventory().size(), 3u);
}

TEST_F(UploadCliTest, SkipPatternsAndPartSizesAreChecked) {
    EXPECT_EQ(cli.run({"prefs", "set", "uploadPartSize", "3"}).exitCode, 2);
    EXPECT_EQ(cli.run({"prefs", "set", "noSuchKey", "3"}).exitCode, 1);
    EXPECT_EQ(runJSON({"prefs", "show"})["uploadPartSize"], 16);

    setPrefs({{"uploadSkipPattern", "*.tmp"}});
    writeFile("dir/keep.txt", 5);
    writeFile("dir/skip.tmp", 5);
    auto some = runJSON({"upload", temp.file("dir"), "--vault", "photos"});
    ASSERT_EQ(some.size(), 1u);
    EXPECT_EQ(some[0]["path"], temp.file("dir") + "/keep.txt");

    // A name that holds an escape sequence reaches the terminal escaped.
    std::string sneaky = writeFile("title\x1b]0;owned\x07.txt", 0);
    auto shown = runOK({"upload", sneaky, "--vault", "photos"});
    EXPECT_THAT(shown.err, Not(HasSubstr("\x1b")));
    EXPECT_THAT(shown.err, HasSubstr("title\\x1b]0;owned\\x07.txt"));
}

TEST_F(UploadCliTest, AnInterruptedMultipartUploadResumesWithTheMissingPartsOnly) {
    setPrefs({{"uploadPartSize", "1"}});
    const int parts = 12;
    const int storedFirst = 5;  // the fault's "after"
    std::string big = writeFile("resume.bin", parts * kMiB);
    // One part at a time: the service stores five parts, then refuses every part for good, so
    // the first run ends with exactly those five held and nothing in flight.
    sim.injectFault(R"({"status": 400, "code": "InvalidParameterValueException", "method": "PUT",
                        "path": "multipart-uploads/", "after": 5, "count": -1})"_json);
    auto interrupted = cli.run({"upload", big, "--vault", "photos"});
    ASSERT_EQ(interrupted.exitCode, 2) << interrupted.err;
    ASSERT_EQ(sim.countRequests("PUT", "multipart-uploads", true), storedFirst);
    sim.clearFaults();
    sim.clearRequestLog();

    auto resumed = runJSON({"upload", big, "--vault", "photos"});
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_EQ(sim.countRequests("PUT", "multipart-uploads"), parts - storedFirst);
    // Completed, not initiated again.
    EXPECT_EQ(sim.countRequests("POST", "/multipart-uploads", true), 1);

    auto listed = serviceInventory();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.begin()->second["SHA256TreeHash"], resumed[0]["treeHash"]);
    EXPECT_EQ(listed.begin()->second["Size"], parts * kMiB);
}

TEST_F(UploadCliTest, StaleUploadsAreListedAndAbortedAndAResumeKeepsItsPartSize) {
    runOK({"vault", "sync"});  // vault names complete from the cache
    EXPECT_EQ(cli.run({"__complete", "--", "multipart", "list", "--vault", "ph"}).out, "photos\n");
    std::string stale = startUploadOutside("stale backup", kMiB);
    std::string resumable = startUploadOutside("resume.bin", kMiB);
    auto listed = runJSON({"multipart", "list", "--vault", "photos"});
    ASSERT_EQ(listed.size(), 2u);
    const auto& staleEntry = listed[0]["uploadId"] == stale ? listed[0] : listed[1];
    EXPECT_EQ(staleEntry["uploadId"], stale);
    EXPECT_EQ(staleEntry["description"], "stale backup");
    EXPECT_EQ(staleEntry["partSize"], kMiB);
    EXPECT_EQ(staleEntry["partsHeld"], 0);

    runOK({"multipart", "abort", stale, "--vault", "photos"});
    EXPECT_EQ(cli.run({"multipart", "abort", "--all", "--vault", "photos", stale}).exitCode, 1);

    // The preference changed since the upload began: the upload is resumed with its 1 MiB parts.
    setPrefs({{"uploadPartSize", "2"}});
    std::string big = writeFile("resume.bin", 3 * kMiB + 5);
    sim.clearRequestLog();
    auto resumed = runJSON({"upload", big, "--vault", "photos"});
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_EQ(sim.countRequests("PUT", resumable), 4);
    // Completed, not started again.
    EXPECT_EQ(sim.countRequests("POST", "/multipart-uploads", true), 1);

    startUploadOutside("old one", kMiB);
    auto young = runJSON({"multipart", "abort", "--all", "--older-than", "1", "--vault", "photos"});
    EXPECT_TRUE(young.empty());
    auto all = runJSON({"multipart", "abort", "--all", "--vault", "photos"});
    EXPECT_EQ(all.size(), 1u);
    EXPECT_TRUE(runJSON({"multipart", "list", "--vault", "photos"}).empty());
}

TEST_F(UploadCliTest, AFileIsReadOnceAndHashedAheadOnlyWhenTheVaultMayHoldIt) {
    setPrefs({{"uploadPartSize", "8"}, {"maxConcurrentUploads", "2"}});
    const std::size_t size = 24 * kMiB + 5;
    const std::string big = writeFile("big.bin", size);
    const std::string small = writeFile("small.bin", 8 * kMiB);
    // Neither is in the hash cache nor in the vault: each byte is read once, to be hashed and
    // sent at the same time.
    for (const std::string& path : {big, small}) {
        const CliResult sent = cli.run({"--json", "upload", path, "--vault", "photos"});
        ASSERT_EQ(sent.exitCode, 0) << sent.err;
        const auto length = static_cast<double>(fs::file_size(path));
        EXPECT_GE(static_cast<double>(sent.bytesRead), length) << path;
        // A second read would double the count; the slack is the process's own reads (its
        // libraries and databases, much more under the sanitizers).
        EXPECT_LE(static_cast<double>(sent.bytesRead), 1.5 * length) << path;
    }
    // The hash the upload computed is in the cache: "hash" reads nothing of the file.
    EXPECT_LT(cli.run({"hash", big}).bytesRead, static_cast<std::int64_t>(size / 4));
    // An archive of the same path and size: the file is hashed (from the cache) and skipped.
    const CliResult again = cli.run({"--json", "upload", big, "--vault", "photos"});
    EXPECT_TRUE(nlohmann::json::parse(again.out).at(0).value("skipped", false));
    EXPECT_LT(again.bytesRead, static_cast<std::int64_t>(size / 4));
    // Changed to another size: nothing of that path and size is stored, so it is not hashed
    // ahead but read once as it is sent.
    writeFile("big.bin", size + 1);
    const CliResult changed = cli.run({"--json", "upload", big, "--vault", "photos"});
    EXPECT_FALSE(nlohmann::json::parse(changed.out).at(0).value("skipped", false));
    EXPECT_LE(static_cast<double>(changed.bytesRead), 1.5 * static_cast<double>(size + 1));
    EXPECT_EQ(serviceInventory().size(), 3u);
}

TEST_F(UploadCliTest, AStoreWithoutItsAnswerIsNotSentAgainUntilAnInventoryTells) {
    // Inside a batch the second file's answer never comes. libcurl used to send such a request
    // again by itself, on a new connection, when the reused one closed: stored twice.
    writeFile("batch/a.bin", 3000, 'a');
    writeFile("batch/b.bin", 4000, 'b');
    sim.injectFault({{"kind", "lose"}, {"method", "POST"}, {"path", "/archives"}, {"after", 1}});
    const CliResult lost = cli.run({"upload", temp.file("batch"), "--vault", "photos"});
    EXPECT_EQ(lost.exitCode, 2) << lost.err;
    EXPECT_THAT(lost.err, HasSubstr("stored, unconfirmed"));
    EXPECT_EQ(sim.countRequests("POST", "/archives"), 2);

    // A run killed while its store is on the way: the service takes it after the run is gone.
    writeFile("batch/c.bin", 5000, 'c');
    sim.clearRequestLog();
    sim.injectFault(
        {{"kind", "delay"}, {"method", "POST"}, {"path", "/archives"}, {"delayMs", 1500}});
    cli.setKillWhen([this](const std::string& err) {
        if (err.find("> POST") == std::string::npos) {
            return false;
        }
        for (int look = 0; look < 6000 && !sim.pendingFaults().empty(); ++look) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    });
    EXPECT_NE(cli.run({"--debug", "upload", temp.file("batch"), "--vault", "photos"}).exitCode, 0);
    cli.setKillWhen({});
    for (int look = 0; look < 6000 && sim.countRequests("POST", "/archives") == 0; ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    // Neither is sent again, however often the tree is uploaded...
    sim.clearRequestLog();
    for (const auto& file : runJSON({"upload", temp.file("batch"), "--vault", "photos"})) {
        EXPECT_TRUE(file.value("skipped", false)) << file;
    }
    EXPECT_EQ(sim.countRequests("POST", "/archives"), 0);
    // ...until an inventory shows what the service holds: each file exactly once.
    importInventory();
    runOK({"upload", temp.file("batch"), "--vault", "photos"});
    std::multiset<std::string> descriptions;
    for (const auto& [id, entry] : serviceInventory()) {
        descriptions.insert(entry["ArchiveDescription"].get<std::string>());
    }
    EXPECT_EQ(descriptions,
              (std::multiset<std::string>{"batch/a.bin", "batch/b.bin", "batch/c.bin"}));
}

TEST_F(UploadCliTest, LostAnswersStoreNothingTwiceAndAnUnrecordedArchiveIsNamed) {
    setPrefs({{"uploadPartSize", "1"}});
    // The single upload's answer names the archive, then the connection breaks: the id is used.
    const std::string small = writeFile("small.bin", 5000);
    sim.injectFault({{"kind", "drop"}, {"method", "POST"}, {"path", "/archives"}});
    const auto first = runJSON({"upload", small, "--vault", "photos"});
    ASSERT_TRUE(first.at(0).contains("archiveId")) << first;
    EXPECT_EQ(runJSON({"upload", small, "--vault", "photos"}).at(0)["archiveId"],
              first.at(0)["archiveId"]);

    // The completion of a multipart upload is stored, but no byte of its answer arrives:
    // stored, unconfirmed, and not sent again.
    const std::string big = writeFile("big.bin", 3 * kMiB);
    sim.injectFault(
        {{"kind", "lose"}, {"method", "POST"}, {"path", "/multipart-uploads/"}, {"count", -1}});
    const CliResult lost = cli.run({"upload", big, "--vault", "photos"});
    sim.clearFaults();
    EXPECT_EQ(lost.exitCode, 2);
    EXPECT_THAT(lost.err, HasSubstr("stored, unconfirmed"));
    sim.clearRequestLog();
    const auto skipped = runJSON({"upload", big, "--vault", "photos"});
    EXPECT_TRUE(skipped.at(0).value("skipped", false)) << skipped;
    EXPECT_THAT(skipped.at(0)["reason"].get<std::string>(), HasSubstr("stored, unconfirmed"));
    EXPECT_EQ(sim.countRequests("POST", "/multipart-uploads"), 0);
    auto stored = serviceInventory();
    ASSERT_EQ(stored.size(), 2u);
    // Deleted, then an inventory taken after it shows the archive absent: it is sent again.
    for (const auto& [id, entry] : stored) {
        if (entry["ArchiveDescription"] == "big.bin") {
            runOK({"delete", id, "--vault", "photos"});
        }
    }
    importInventory();
    EXPECT_FALSE(runJSON({"upload", big, "--vault", "photos"}).at(0).value("skipped", false));
    EXPECT_EQ(serviceInventory().size(), 2u);

    // The journal cannot be written after the service stored the archive: exit 2, the archive
    // named as stored but not recorded.
    {
        Database db(accountDirectory() + "/Store.db");
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeStatements(
            "CREATE TRIGGER full_disk BEFORE INSERT ON archives BEGIN SELECT RAISE(FAIL, "
            "'database or disk is full'); END;"));
    }
    const std::string other = writeFile("other.bin", 7000);
    const CliResult unrecorded = cli.run({"upload", other, "--vault", "photos"});
    EXPECT_EQ(unrecorded.exitCode, 2);
    stored = serviceInventory();
    ASSERT_EQ(stored.size(), 3u);
    for (const auto& [id, entry] : stored) {
        if (entry["ArchiveDescription"] == "other.bin") {
            EXPECT_THAT(unrecorded.err, HasSubstr("The archive " + id + " was stored"));
            EXPECT_THAT(unrecorded.err, HasSubstr("could not be recorded"));
        }
    }
}

TEST_F(UploadCliTest, OfTwoRacingResumesTheOneThatCompletesSucceedsAndOneArchiveIsStored) {
    // Two machines (two application directories, so no lock or claim between them) resume one
    // upload at once.
    CliRunner elsewhere(temp.file("elsewhere"));
    addAccount("test", "", {}, &elsewhere);
    const CliRunner* runners[2] = {&cli, &elsewhere};
    for (const CliRunner* runner : runners) {
        for (const auto& [key, value] :
             {std::pair{"uploadPartSize", "1"}, std::pair{"maxConcurrentUploads", "2"}}) {
            ASSERT_EQ(runner->run({"prefs", "set", key, value}).exitCode, 0);
        }
    }
    const std::string path = writeFile("race.bin", 12 * kMiB);
    startUploadOutside("race.bin", kMiB);
    // Whatever the interleaving, one completes the upload; the other finds it gone, on a part
    // or on the completion, and says so without storing anything.
    CliResult results[2];
    std::thread other([&] {
        results[1] = elsewhere.run({"--json", "upload", path, "--vault", "photos"});
    });
    results[0] = cli.run({"--json", "upload", path, "--vault", "photos"});
    other.join();
    const int winner = results[0].exitCode == 0 ? 0 : 1;
    ASSERT_EQ(results[winner].exitCode, 0) << results[0].err << results[1].err;
    EXPECT_EQ(results[1 - winner].exitCode, 2) << results[1 - winner].err;
    const std::string archiveId = nlohmann::json::parse(results[winner].out).at(0).at("archiveId");
    auto stored = serviceInventory();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored.begin()->first, archiveId);
    const CliResult again = runners[winner]->run({"--json", "upload", path, "--vault", "photos"});
    EXPECT_TRUE(nlohmann::json::parse(again.out).at(0).value("skipped", false)) << again.err;
    EXPECT_EQ(serviceInventory().size(), 1u);
}

}  // namespace
}  // namespace quillon::testing
