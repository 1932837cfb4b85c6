// Tests of the inventory commands: import, browsing, refusals and concurrent imports.
// Threads: run on the test's thread; quillon and the simulator are child processes.
#include <gtest/gtest.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/FileLock.h"
#include "interfaces/db/Database.h"
#include "support/CliFixture.h"
#include "support/SmallDisk.h"
#include "vaults/Vault.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// An inventory imported from a job's output of a simulated vault, then browsed.
class InventoryCliTest : public CliFixture {
  protected:
    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 3}, {"size", 4}, {"prefix", "trip/day1/img-"}});
        sim.seed({{"vault", "photos"}, {"count", 2}, {"size", 9}, {"prefix", "trip/day2/raw-"}});
        sim.seed({{"vault", "photos"}, {"count", 1}, {"size", 1}, {"prefix", "notes-"}});
    }

    std::string finishedInventoryJob() {
        std::string jobId = runJSON({"job", "inventory", "--vault", "photos"}).at("jobId");
        waitForJob(jobId);
        return jobId;
    }

    void importFromJob() {
        json imported =
            runJSON({"inventory", "import", "--vault", "photos", "--job", finishedInventoryJob()});
        EXPECT_EQ(imported["archives"], 6);
        EXPECT_EQ(imported["items"], 6);
    }

    // A document of the vault with `count` archives named by `path` (default
    // "docs/file-N"), its header first.
    std::string inventoryText(const std::string& date, int count,
                              const std::function<std::string(int)>& path = {}) {
        if (arn.empty()) {
            arn = runJSON({"vault", "describe", "photos"}).at("arn");
        }
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (int i = 0; i < count; ++i) {
            list.push_back(
                {{"ArchiveId", "archive-" + std::to_string(i)},
                 {"ArchiveDescription", path ? path(i) : "docs/file-" + std::to_string(i)},
                 {"CreationDate", "2026-01-01T00:00:00Z"},
                 {"Size", 10},
                 {"SHA256TreeHash", "0a"}});
        }
        return nlohmann::ordered_json{
            {"VaultARN", arn}, {"InventoryDate", date}, {"ArchiveList", list}}
            .dump();
    }

    // Imports `document` from a file of its own, run by `runner` (default: cli).
    CliResult importText(const std::string& document, const std::vector<std::string>& extra = {},
                         const CliRunner* runner = nullptr) {
        const std::string path = temp.file("import-" + std::to_string(imports_++) + ".json");
        std::ofstream(path, std::ios::binary) << document;
        std::vector<std::string> args = {"inventory", "import", "--vault",
                                         "photos",    "--file", path};
        args.insert(args.end(), extra.begin(), extra.end());
        return (runner ? *runner : cli).run(args);
    }

    // Files in the vault's current inventory.
    std::int64_t storedCount() {
        return runJSON({"inventory", "du", "--vault", "photos"}).at("count").get<std::int64_t>();
    }

    std::int64_t unfinishedInventories() {
        Database db(accountDirectory() + "/Store.db");
        EXPECT_TRUE(db.open());
        return db
            .longForQuery(
                "SELECT COUNT(*) FROM inventories WHERE import_done_at IS NULL "
                "AND inventory_date > 0")
            .value_or(-1);
    }

    std::string arn;
    int imports_ = 0;
};

TEST_F(InventoryCliTest, ImportThenBrowse) {
    importFromJob();

    json top = runJSON({"inventory", "ls", "--vault", "photos"});
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0]["name"], "trip/");
    EXPECT_EQ(top[0]["isFolder"], true);
    EXPECT_EQ(top[0]["size"], 3 * 4 + 2 * 9);  // everything below it
    EXPECT_EQ(top[0]["count"], 5);
    EXPECT_EQ(top[1]["name"], "notes-0");
    EXPECT_EQ(top[1]["isFolder"], false);
    EXPECT_EQ(top[1]["size"], 1);

    json day1 = runJSON({"inventory", "ls", "--vault", "photos", "trip/day1/"});
    ASSERT_EQ(day1.size(), 3u);
    EXPECT_EQ(day1[0]["name"], "trip/day1/img-0");
    EXPECT_EQ(day1[0]["size"], 4);
    EXPECT_EQ(day1[0]["treeHash"].get<std::string>().size(), 64u);
    EXPECT_FALSE(day1[0]["archiveId"].get<std::string>().empty());

    json du = runJSON({"inventory", "du", "--vault", "photos", "trip"});
    EXPECT_EQ(du, (json{{"folder", "trip"}, {"size", 3 * 4 + 2 * 9}, {"count", 5}}));
    // The whole vault; the 1-byte file counts as a folder archive would.
    EXPECT_EQ(runJSON({"inventory", "du", "--vault", "photos"}),
              (json{{"folder", ""}, {"size", 3 * 4 + 2 * 9}, {"count", 5}}));

    json found = runJSON({"inventory", "find", "--vault", "photos", "^raw"});
    ASSERT_EQ(found.size(), 2u);
    for (const auto& item : found) {
        EXPECT_EQ(item["name"].get<std::string>().rfind("trip/day2/raw-", 0), 0u);
    }
    std::string archiveId = found[0]["archiveId"];
    EXPECT_EQ(runJSON({"inventory", "find", "--vault", "photos", "archive:" + archiveId}).size(),
              1u);
    EXPECT_TRUE(runJSON({"inventory", "find", "--vault", "photos", "nothing"}).empty());

    json tree = runJSON({"inventory", "tree", "--vault", "photos"});
    ASSERT_EQ(tree["children"].size(), 1u);
    EXPECT_EQ(tree["children"][0]["children"].size(), 2u);
    EXPECT_EQ(tree["children"][0]["children"][1]["name"], "trip/day2/");

    // Seeded archives of one size share their content.
    json dupes = runJSON({"inventory", "dupes", "--vault", "photos"});
    ASSERT_EQ(dupes.size(), 2u);

    fs::create_directories(temp.path() + "/local/day1");
    std::ofstream(temp.path() + "/local/day1/img-0") << "x";
    json orphans = runJSON({"inventory", "orphans", "--vault", "photos", "--prefix", "trip/",
                            "--local", temp.path() + "/local"});
    EXPECT_EQ(orphans.size(), 4u);

    auto human = runOK({"inventory", "ls", "--vault", "photos", "trip/day2"});
    EXPECT_THAT(human.out, HasSubstr("raw-1"));
}

// find -i folds letter case as Unicode does (é and É alike); --glob matches whole paths.
TEST_F(InventoryCliTest, FindIgnoringCaseAndByGlob) {
    const std::vector<std::string> paths = {"Café/Menu.txt", "cafe/menu.TXT", "CAFÉ/x/y.jpg"};
    ASSERT_EQ(importText(inventoryText("2026-03-01T00:00:00Z", 3,
                                       [&](int i) { return paths[static_cast<std::size_t>(i)]; }))
                  .exitCode,
              0);
    auto found = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"inventory", "find", "--vault", "photos"});
        std::vector<std::string> out;
        for (const auto& item : runJSON(args)) {
            out.push_back(item["name"]);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(found({"-i", "café"}), (std::vector<std::string>{"CAFÉ/x/y.jpg", "Café/Menu.txt"}));
    EXPECT_EQ(found({"café"}), std::vector<std::string>{});
    EXPECT_EQ(found({"--glob", "*.txt"}), std::vector<std::string>{"Café/Menu.txt"});
    EXPECT_EQ(found({"-i", "--glob", "CAF?/*.txt"}),
              (std::vector<std::string>{"Café/Menu.txt", "cafe/menu.TXT"}));
    EXPECT_EQ(found({"--glob", "*/*/*", "-i", "y.JPG"}), std::vector<std::string>{"CAFÉ/x/y.jpg"});
    runFails({"inventory", "find", "--vault", "photos"}, 1);
}

// Lists longer than a table measures go out as they are read: with --json still the one document
// as always, as a table still aligned under one header, and onto a full disk ended at once.
TEST_F(InventoryCliTest, ListsOfThousandsStreamInTheirUsualForm) {
    const int count = 12000;
    ASSERT_EQ(importText(inventoryText("2026-03-01T00:00:00Z", count)).exitCode, 0);
    fs::create_directories(temp.file("empty"));
    struct Case {
        std::string command;
        std::vector<std::string> arguments;
        std::size_t entries;
    };
    for (const Case& c : std::vector<Case>{
             {"find", {"--glob", "docs/*"}, count},
             {"ls", {"docs"}, count},
             {"orphans", {"--prefix", "docs/", "--local", temp.file("empty")}, count},
             {"find", {"no-such-name"}, 0},
         }) {
        SCOPED_TRACE(c.command);
        std::vector<std::string> args = {"--json", "inventory", c.command, "--vault", "photos"};
        args.insert(args.end(), c.arguments.begin(), c.arguments.end());
        const CliResult listed = cli.run(args);
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        // In the order the program puts the keys; compared whole, not as a diff of megabytes.
        const auto document = nlohmann::ordered_json::parse(listed.out);
        EXPECT_TRUE(listed.out == document.dump(2) + "\n") << listed.out.substr(0, 400);
        EXPECT_EQ(document.size(), c.entries);
    }

    const CliResult table = runOK({"inventory", "find", "--vault", "photos", "--glob", "docs/*"});
    std::istringstream lines(table.out);
    std::string header;
    std::getline(lines, header);
    const std::size_t nameColumn = header.find("NAME");
    ASSERT_NE(nameColumn, std::string::npos);
    int rows = 0;
    for (std::string line; std::getline(lines, line); ++rows) {
        ASSERT_EQ(line.find("docs/file-"), nameColumn) << rows << ": " << line;
    }
    EXPECT_EQ(rows, count);

    const CliResult full =
        runRedirected("--json inventory find --vault photos --glob 'docs/*'", ">/dev/full");
    EXPECT_EQ(full.exitCode, 2) << full.err;
    EXPECT_THAT(full.err, HasSubstr("Cannot write to standard output"));
}

// 50 archives whose 1,024-character paths run 508 folders deep: 25,400 folders, shown at once
// (the runner's time limit ends a tree that takes a query per folder).
TEST_F(InventoryCliTest, TreeOfThousandCharacterPaths) {
    auto deep = [](int i) {
        std::string path = "t" + std::to_string(100 + i);
        for (int level = 0; level < 507; ++level) {
            path += "/a";
        }
        return path + "/f.txt";
    };
    ASSERT_EQ(deep(0).size(), 1024u);
    ASSERT_EQ(importText(inventoryText("2026-03-01T00:00:00Z", 50, deep)).exitCode, 0);
    CliResult tree = cli.run({"inventory", "tree", "--vault", "photos"});
    ASSERT_FALSE(tree.timedOut);
    ASSERT_EQ(tree.exitCode, 0) << tree.err;
    EXPECT_EQ(std::count(tree.out.begin(), tree.out.end(), '\n'), 1 + 50 * 508);
    // The deepest folder of the last archive, indented by its depth, holds its one file.
    const std::string last = "\n" + std::string(2 * 508, ' ') + "a/  (";
    const auto at = tree.out.rfind(last);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(tree.out.find(" in 1 files", at), std::string::npos);
    json du = runJSON({"inventory", "du", "--vault", "photos", deep(49).substr(0, 1018)});
    EXPECT_EQ(du["count"], 1);
}

TEST_F(InventoryCliTest, FailuresHaveTheRightStatus) {
    runFails({"inventory", "ls", "--vault", "photos"}, 2, "inventory import");

    runFails({"inventory", "import", "--vault", "photos"}, 1);
    runFails({"inventory", "import", "--vault", "photos", "--file", "a", "--job", "b"}, 1);
    runFails({"inventory", "import", "--vault", "photos", "--file", temp.file("nope")}, 2);
    CliResult foreign = importText(R"({"VaultARN":"arn:aws:glacier:x:1:vaults/other",)"
                                   R"("InventoryDate":"2021-01-01T00:00:00Z","ArchiveList":[]})");
    EXPECT_EQ(foreign.exitCode, 2);
    EXPECT_THAT(foreign.err, HasSubstr("other"));
    runFails({"inventory", "ls", "--vault", "nosuchvault"}, 2);
    importFromJob();
    runFails({"inventory", "ls", "--vault", "photos", "no/such/folder"}, 2);
    runFails({"inventory", "du", "--vault", "photos", "no"}, 2);
}

TEST_F(InventoryCliTest, OnlyWholeSensiblyDatedDocumentsReplaceTheInventory) {
    ASSERT_EQ(importText(inventoryText("2026-03-01T00:00:00Z", 5)).exitCode, 0);
    const std::string whole = inventoryText("2026-04-01T00:00:00Z", 50);
    std::string withNul = whole;
    withNul[whole.size() / 2] = '\0';
    const std::string older = inventoryText("2020-01-01T00:00:00Z", 3);
    struct Case {
        std::string content;
        std::vector<std::string> extra;
        std::string says;  // in the message
        int exitCode;
        std::int64_t stored;  // files in the inventory afterwards
    };
    const Case cases[] = {
        {whole.substr(0, whole.size() / 2), {}, "damaged or incomplete", 2, 5},
        {withNul, {}, "damaged or incomplete", 2, 5},
        {"", {}, "damaged or incomplete", 2, 5},
        {inventoryText("2100-01-01T00:00:00Z", 7), {}, "in the future", 2, 5},
        {older, {}, "older than the current one", 2, 5},
        {older, {"--force"}, "older than the current one", 0, 3},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n++);
        auto result = importText(c.content, c.extra);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.says));
        EXPECT_EQ(storedCount(), c.stored);
    }
}

TEST_F(InventoryCliTest, AJobOutputCutShortIsNeitherImportedNorResumed) {
    importFromJob();
    const std::string jobId = finishedInventoryJob();
    runOK({"job", "download", jobId, "--vault", "photos", "--out", temp.file("o")});
    const std::string document = contents(temp.file("o"));
    // A whole answer (status 200, its length as sent) of the first part of the document.
    nlohmann::json fault = R"({"method": "GET", "status": 200, "count": -1})"_json;
    fault["path"] = jobId + "/output";
    fault["body"] = document.substr(0, document.find("},{") + 1);
    sim.injectFault(fault);
    auto cut = cli.run({"inventory", "import", "--vault", "photos", "--job", jobId});
    sim.clearFaults();
    EXPECT_EQ(cut.exitCode, 2) << cut.out;
    EXPECT_EQ(storedCount(), 5);
    EXPECT_EQ(runJSON({"inventory", "import", "--vault", "photos", "--job", jobId})["items"], 6);
}

// An inventory download killed with kill -9 while its parts arrive out of order (one held by
// the service, later ones written past it) resumes from the parts it checked, and the import
// that follows holds every archive.
TEST_F(InventoryCliTest, AKilledInventoryDownloadResumesWhole) {
    importFromJob();
    sim.seed({{"vault", "photos"}, {"count", 20000}, {"size", 2}, {"prefix", "bulk/many/file-"}});
    const std::string jobId = finishedInventoryJob();
    setPrefs({{"downloadPartSize", "1"}, {"maxConcurrentDownloads", "2"}});
    // The third part's answer is held past the kill, so the download cannot end before it.
    sim.injectFault(
        {{"kind", "delay"}, {"path", jobId + "/output"}, {"after", 2}, {"delayMs", 600000}});
    const std::vector<std::string> args = {"inventory", "import", "--vault",
                                           "photos",    "--job",  jobId};
    std::vector<std::string> traced = {"--debug"};
    traced.insert(traced.end(), args.begin(), args.end());
    // Four parts asked for: at least two have ended (a part is asked for only when another
    // has ended), one is held, others may be half written. The kill waits until an ended part
    // is noted.
    cli.setKillWhen([&](const std::string& err) {
        return occurrences(err, "/output (attempt") >= 4 && waitForANotedPart(cli.home());
    });
    const CliResult killed = cli.run(traced);
    cli.setKillWhen({});
    sim.clearFaults();
    ASSERT_EQ(killed.exitCode, 128 + SIGKILL) << killed.err;
    EXPECT_EQ(storedCount(), 5);

    const CliResult resumed = cli.run(args);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
    EXPECT_THAT(resumed.err, HasSubstr("Resuming the download"));
    EXPECT_EQ(storedCount(), 20005);
    EXPECT_EQ(runJSON({"inventory", "du", "--vault", "photos", "bulk/many"})["count"], 20000);
    for (const auto& entry : fs::recursive_directory_iterator(cli.home())) {
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }
}

TEST_F(InventoryCliTest, ImportsOfOneVaultTakeTurnsAndMaintenanceSparesALiveOne) {
    importFromJob();
    // Another program's import: it holds the vault's lock, its inventory is unfinished.
    FileLock other(Vault::writerLockPath(accountDirectory(), "local-1", "photos"));
    ASSERT_TRUE(other.tryLock());
    {
        Database db(accountDirectory() + "/Store.db");
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate(
            "INSERT INTO inventories (inventory_date, vault, region, created_at) VALUES "
            "(1800000000, 'photos', 'local-1', 0)"));
    }
    EXPECT_EQ(storedCount(), 5);  // a reader neither waits nor removes the import
    EXPECT_EQ(unfinishedInventories(), 1);

    bool waited = false;
    cli.setErrWatcher([&](const std::string& err) {
        if (!waited && err.find("waiting for it to finish") != std::string::npos) {
            waited = true;
            EXPECT_EQ(unfinishedInventories(), 1);  // nothing of the second import yet
            other.unlock();
        }
    });
    auto second = importText(inventoryText("2026-05-01T00:00:00Z", 4), {"--force"});
    cli.setErrWatcher({});
    EXPECT_TRUE(waited) << second.err;
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(storedCount(), 4);
    // The other import's owner is gone: its left-over goes with the next open.
    EXPECT_EQ(unfinishedInventories(), 0);
}

TEST_F(InventoryCliTest, AFullDiskFailsTheImportAndKeepsTheInventory) {
    const SmallDisk small(temp.file("small"), "4m");
    ASSERT_TRUE(small.mounted()) << small.failure();
    CliRunner onSmall(small.path() + "/app");
    onSmall.setEnv("HOME", temp.path());
    ASSERT_NO_FATAL_FAILURE(addAccount("test", "", {}, &onSmall));
    ASSERT_EQ(importText(inventoryText("2026-03-01T00:00:00Z", 5), {}, &onSmall).exitCode, 0);

    auto full = importText(inventoryText("2026-04-01T00:00:00Z", 40000), {}, &onSmall);
    EXPECT_EQ(full.exitCode, 2) << full.out;
    CliResult du = onSmall.run({"--json", "inventory", "du", "--vault", "photos"});
    EXPECT_EQ(json::parse(du.out, nullptr, false)["count"], 5);
}

}  // namespace
}  // namespace quillon::testing
