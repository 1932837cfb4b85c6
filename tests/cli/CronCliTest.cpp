// Tests of unattended backups: quiet runs, one run of a tree at a time, claims between
// overlapping runs, and links, FIFOs and devices left out.
// Threads: the test's thread, plus one thread per run that must overlap another; quillon and
// the simulator are child processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "foundation/FileLock.h"
#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;

class CronCliTest : public CliFixture {
  protected:
    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 0}});
    }

    std::string writeFile(const std::string& name, std::size_t size) {
        fs::create_directories(fs::path(temp.file(name)).parent_path());
        std::ofstream(temp.file(name), std::ios::binary) << patternBytes(size);
        return temp.file(name);
    }

    // A tree of `files` small files "tree/fN.txt".
    std::string writeTree(int files) {
        for (int i = 0; i < files; ++i) {
            writeFile("tree/f" + std::to_string(i) + ".txt", 100 + i);
        }
        return temp.file("tree");
    }

    int stored() const { return sim.countRequests("POST", "/archives", true); }
};

TEST_F(CronCliTest, ARunOverAnUnchangedTreeSaysNothingWhenQuietAndOneLineOtherwise) {
    std::string tree = writeTree(3);
    writeFile("tree/sub/empty", 0);
    writeFile("outside/hostname", 10);
    writeFile("outside/dir/inner.txt", 20);
    fs::create_symlink(temp.file("outside/hostname"), tree + "/link-to-file");
    fs::create_directory_symlink(temp.file("outside/dir"), tree + "/link-to-dir");
    fs::create_directory_symlink(tree, tree + "/sub/loop");
    fs::create_symlink(temp.file("nowhere"), tree + "/dangling");
    ASSERT_EQ(::mkfifo((tree + "/fifo").c_str(), 0600), 0);
    const std::vector<std::string> upload = {"--quiet", "upload", tree, "--vault", "photos"};

    // The first run stores the regular files only, and warns about the empty one once.
    auto first = runOK(upload);
    EXPECT_EQ(occurrences(first.out, "\n"), 3) << first.out;
    EXPECT_EQ(first.err, "Warning: skipped " + tree +
                             "/sub/empty: The file is empty. Only files with content can be "
                             "uploaded.\n");
    EXPECT_EQ(stored(), 3);

    // Cron over the same tree: nothing at all; without --quiet one summary line.
    auto quiet = runOK(upload);
    EXPECT_EQ(quiet.out + quiet.err, "");
    auto plain = runOK({"upload", tree, "--vault", "photos"});
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(occurrences(plain.err, "\n"), 1) << plain.err;
    EXPECT_THAT(plain.err, HasSubstr("Stored 0 (0 B), skipped 9 ("));
    EXPECT_THAT(plain.err, HasSubstr("4 links; 3 already in the vault; 1 empty; 1 not regular"));

    // --verbose names each file left out and why; --json marks each as skipped.
    auto verbose = runOK({"--verbose", "upload", tree, "--vault", "photos"});
    for (const char* said :
         {"/link-to-file: a symbolic link", "/link-to-dir: a symbolic link",
          "/dangling: a symbolic link", "/fifo: a FIFO", "/sub/empty: The file is empty",
          "/f0.txt: already in the vault as "}) {
        EXPECT_THAT(verbose.err, HasSubstr(said));
    }
    auto entries = runJSON({"upload", tree, "--vault", "photos"});
    ASSERT_EQ(entries.size(), 9u);
    for (const auto& entry : entries) {
        EXPECT_TRUE(entry.value("skipped", false)) << entry;
    }
    EXPECT_EQ(stored(), 3);

    // Followed, the links bring the file and the directory, the loop and the dangling link are
    // left out, and the run ends.
    auto followed = runOK({"--verbose", "upload", tree, "--vault", "photos", "--follow-symlinks"});
    EXPECT_EQ(occurrences(followed.out, "\n"), 2) << followed.out;
    EXPECT_THAT(followed.out, HasSubstr(tree + "/link-to-dir/inner.txt"));
    EXPECT_THAT(followed.err, HasSubstr("/sub/loop: a link to a directory above it"));
    EXPECT_THAT(followed.err, HasSubstr("/dangling: a dangling symbolic link"));
    EXPECT_EQ(stored(), 5);
    // A device is left out like a FIFO.
    auto device = runOK({"--verbose", "upload", "/dev/null", "--vault", "photos"});
    EXPECT_THAT(device.err, HasSubstr("/dev/null: a device"));
}

TEST_F(CronCliTest, ASecondRunOfATreeWaitsForTheFirstOrGivesUpWithExit75) {
    std::string tree = writeTree(2);
    auto first = runOK({"--verbose", "upload", tree, "--vault", "photos"});
    const std::string said = "Upload lock: ";
    ASSERT_NE(first.err.find(said), std::string::npos) << first.err;
    std::string path = first.err.substr(first.err.find(said) + said.size());
    path = path.substr(0, path.find('\n'));
    writeFile("tree/new.txt", 50);

    // Another run holds the lock.
    FileLock other(path);
    ASSERT_TRUE(other.lock());
    sim.clearRequestLog();
    auto busy = runFails({"upload", tree + "/", "--vault", "photos", "--no-wait"}, 75,
                         "is running; nothing was sent. Run the same command again later.");
    EXPECT_EQ(busy.out, "");
    std::promise<void> waiting;
    cli.setErrWatcher([&, told = false](const std::string& err) mutable {
        if (!told && err.find("waiting for it to finish") != std::string::npos) {
            told = true;
            waiting.set_value();
        }
    });
    std::future<CliResult> second = std::async(std::launch::async, [&] {
        return cli.run({"upload", tree, "--vault", "photos"});
    });
    waiting.get_future().wait();
    EXPECT_EQ(stored(), 0);
    other.unlock();
    CliResult result = second.get();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(occurrences(result.out, "\n"), 1) << result.out;
    EXPECT_THAT(result.out, HasSubstr(tree + "/new.txt"));
    EXPECT_EQ(stored(), 1);
}

TEST_F(CronCliTest, OverlappingRunsOfOneTreeNeverStoreAFileTwice) {
    std::string tree = writeTree(12);
    // The same files named two ways: two locks, but one claim per file.
    std::vector<std::string> files = {"upload", "--folder", "tree", "--vault", "photos"};
    for (int i = 0; i < 12; ++i) {
        files.push_back(tree + "/f" + std::to_string(i) + ".txt");
    }
    auto whole = std::async(std::launch::async, [&] {
        return cli.run({"upload", tree, "--vault", "photos"});
    });
    CliResult named = cli.run(files);
    CliResult all = whole.get();
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_EQ(all.exitCode, 0) << all.err;
    EXPECT_EQ(occurrences(named.out + all.out, "\n"), 12) << named.out << all.out;
    EXPECT_EQ(stored(), 12);
}

TEST_F(CronCliTest, JobWaitSaysWhenTheServiceStopsAnsweringAndGoesOn) {
    std::string jobId = runJSON({"job", "inventory", "--vault", "photos"}).value("jobId", "");
    sim.injectFault({{"method", "GET"},
                     {"path", "/jobs/"},
                     {"status", 503},
                     {"code", "ServiceUnavailableException"},
                     {"count", 5}});
    auto waited = runOK({"--retries", "1", "job", "wait", jobId, "--vault", "photos", "--interval",
                         "0.1", "--timeout", "600"});
    EXPECT_THAT(waited.out, HasSubstr("succeeded"));
    EXPECT_THAT(waited.err, HasSubstr("did not answer 3 looks at job " + jobId + " in a row"));
    EXPECT_THAT(waited.err, HasSubstr("did not answer 4 looks"));
    EXPECT_THAT(waited.err, Not(HasSubstr("did not answer 5 looks")));
    EXPECT_THAT(waited.err, HasSubstr("next look in 1 s"));
    EXPECT_THAT(waited.err, HasSubstr("The service answers again"));
}

TEST_F(CronCliTest, ReplaceModifiedDeletesTheOlderVersionOnceTheNewOneIsStored) {
    std::string path = writeFile("notes.txt", 1000);
    const std::string oldId = runJSON({"upload", path, "--vault", "photos"})[0]["archiveId"];
    writeFile("notes.txt", 1200);
    const std::vector<std::string> replace = {"upload", path, "--vault", "photos",
                                              "--replace-modified"};
    sim.clearRequestLog();
    auto dry = runOK({"upload", path, "--vault", "photos", "--replace-modified", "--dry-run"});
    EXPECT_THAT(dry.out, HasSubstr("would upload " + path));
    EXPECT_THAT(dry.out, HasSubstr("then delete its older version " + oldId + " (stored "));
    EXPECT_THAT(dry.out, HasSubstr("0 days ago: deleting it before 90 days costs an "
                                   "early-deletion fee for the 90 days left)"));
    EXPECT_EQ(sim.countRequests("DELETE", oldId) + sim.countRequests("POST", "/archives"), 0);

    // The delete fails once: the new archive stays, and the rerun deletes the old one.
    sim.injectFault({{"method", "DELETE"},
                     {"status", 400},
                     {"code", "InvalidParameterValueException"},
                     {"message", "refused"}});
    auto failed = runFails(replace, 2, "could not delete its older version " + oldId);
    EXPECT_EQ(occurrences(failed.out, "\n"), 1);
    const std::string newId = failed.out.substr(0, failed.out.find("  "));
    auto again = runOK(replace);
    EXPECT_EQ(again.out, "");
    EXPECT_THAT(again.err, HasSubstr("Deleted the older version " + oldId));
    EXPECT_EQ(sim.countRequests("DELETE", oldId, true), 1);
    EXPECT_EQ(sim.countRequests("POST", "/archives", true), 1);

    auto listed = runJSON({"inventory", "ls", "--vault", "photos"});
    ASSERT_EQ(listed.size(), 1u) << listed;
    EXPECT_EQ(listed[0]["archiveId"], newId);
    // The journal keeps both events.
    runOK({"vault", "sync"});
    std::string log;
    for (const auto& file : runJSON({"log"})) {
        if (file["scope"].get<std::string>().ends_with("/photos")) {
            log = contents(file["path"]);
        }
    }
    EXPECT_THAT(log, HasSubstr("Archive added: " + newId));
    EXPECT_THAT(log, HasSubstr("Archive deleted: " + oldId));
    // Nothing is left to replace.
    EXPECT_EQ(runOK(replace).out, "");
    EXPECT_EQ(sim.countRequests("DELETE", "/archives/"), 2);
}

TEST_F(CronCliTest, TheProgressLineFitsAnEightyColumnTerminal) {
    setPrefs({{"uploadPartSize", "1"}});
    const std::string name =
        "a file with a rather long name that no terminal line of eighty "
        "columns could hold beside its figures.bin";
    std::string path = writeFile(name, 3 * 1048576 + 5);
    auto shown = runOnTerminal({"upload", path, "--vault", "photos"});
    ASSERT_EQ(shown.exitCode, 0);
    const auto drawn = shown.linesWith(" files, ");
    EXPECT_FALSE(drawn.empty()) << ::testing::PrintToString(shown.lines);
    for (const std::string& line : drawn) {
        EXPECT_LE(line.size(), 79u) << line;
        EXPECT_THAT(line, HasSubstr("a file"));
        EXPECT_THAT(line, HasSubstr("..."));
        EXPECT_THAT(line, ::testing::ContainsRegex("[0-9]+% [0-9.]+ [KM]?i?B/3\\.0 MiB"));
    }
}

TEST(ManualPageTest, TheManualPagesInstallWithCmakeAndOpenWithMan) {
    TempDir prefix;
    ChildOptions quiet;
    quiet.captureErr = true;
    auto installed =
        runChild(cmakeProgram(), {"--install", binaryDir(), "--prefix", prefix.path()}, "", quiet);
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    ChildOptions reader = quiet;
    reader.env = {{"MANPATH", prefix.file("share/man")}, {"MANPAGER", "cat"}, {"MANWIDTH", "80"}};
    for (const auto& [program, says] : std::vector<std::pair<std::string, std::string>>{
             {"quillon", "upload"}, {"quillon-sim", "--job-delay"}}) {
        auto page = runChild("/usr/bin/man", {program}, "", reader);
        EXPECT_EQ(page.exitCode, 0) << page.err;
        EXPECT_THAT(page.out, HasSubstr(says)) << page.out;
        EXPECT_THAT(page.out, HasSubstr("NAME")) << page.out;
    }
}

TEST_F(CronCliTest, AwsProfilesAndTheEnvironmentActLikeAStoredAccount) {
    const std::string user = temp.file("user");
    fs::create_directories(user + "/.aws");
    auto keys = [&](const std::string& id, const std::string& secret) {
        return "aws_access_key_id = " + id + "\naws_secret_access_key = " + secret + "\n";
    };
    std::ofstream(user + "/.aws/credentials") << "[default]\n" +
                                                     keys(sim.accessKey(), sim.secretKey()) +
                                                     "[wrong]\n" + keys("AKIDWRONG", "nope");
    // The config file, moved by AWS_CONFIG_FILE: a profile's keys, region and endpoint.
    std::ofstream(user + "/config")
        << "[profile other]\n" + keys(sim.accessKey(), sim.secretKey()) +
               "region = eu-west-1\nendpoint_url = " + sim.regionURL("eu-west-1") + "\n";
    CliRunner aws(temp.file("aws-home"));
    aws.setEnv("HOME", user);
    aws.setEnv("AWS_CONFIG_FILE", user + "/config");
    aws.setEnv("AWS_ENDPOINT_URL", sim.baseURL());
    auto ok = [&](const std::vector<std::string>& args) {
        auto result = aws.run(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    };

    // [default], with nothing else given, browses, uploads and imports as an account does.
    ok({"vault", "sync"});
    EXPECT_THAT(ok({"vault", "list"}).out, HasSubstr("photos"));
    ok({"upload", writeFile("doc.txt", 300), "--vault", "photos"});
    std::string jobId = ok({"job", "inventory", "--vault", "photos"}).out;
    jobId = jobId.substr(0, jobId.find('\n'));
    ok({"job", "wait", jobId, "--vault", "photos", "--interval", "0.1"});
    ok({"inventory", "import", "--vault", "photos", "--job", jobId});
    EXPECT_THAT(ok({"inventory", "ls", "--vault", "photos"}).out, HasSubstr("doc.txt"));

    // --profile: its keys, then the config's region and endpoint_url; AWS_REGION comes first.
    EXPECT_EQ(aws.run({"--profile", "wrong", "vault", "sync"}).exitCode, 2);
    auto missing = aws.run({"vault", "sync", "--profile", "missing"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err, HasSubstr("The profile \"missing\" has no aws_access_key_id"));
    aws.setEnv("AWS_ENDPOINT_URL", "");
    ok({"--profile", "other", "vault", "create", "trips"});
    auto listed = [&] {
        return nlohmann::json::parse(ok({"--json", "--profile", "other", "vault", "list"}).out);
    };
    EXPECT_EQ(listed()[0]["name"], "trips");
    EXPECT_EQ(listed()[0]["region"], "eu-west-1");
    // AWS_REGION wins: requests are signed for it, so the profile's eu-west-1 endpoint refuses
    // them, and the same profile at a us-east-1 endpoint stores its vaults there.
    aws.setEnv("AWS_REGION", "us-east-1");
    auto refused = aws.run({"--profile", "other", "vault", "sync"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_THAT(refused.err, HasSubstr("(us-east-1)"));
    aws.setEnv("AWS_ENDPOINT_URL", sim.regionURL("us-east-1"));
    ok({"--profile", "other", "vault", "sync"});
    EXPECT_EQ(listed()[0]["region"], "us-east-1");
}

TEST_F(CronCliTest, CompletionOffersWhatIsStoredEachOnceAndQuoted) {
    runOK({"vault", "sync"});
    runOK({"account", "add", "my work", "--access-key", "AKIDOTHER", "--secret-stdin", "--region",
           "local-1"},
          "other-secret\n");
    std::string jobId =
        runJSON({"--account", "test", "job", "inventory", "--vault", "photos"}).value("jobId", "");
    auto complete = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {"--account", "test", "__complete", "--"});
        return cli.run(words).out;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"vault", "describe", "ph"}, "photos\n"},
        {{"vault", "delete", ""}, "photos\n"},
        {{"vault", "purge", "p"}, "photos\n"},
        {{"tag", "common", "photos", "p"}, "photos\n"},
        {{"account", "show", "my"}, "my work\n"},
        {{"--account", "te"}, "test\n"},
        {{"prefs", "set", "upl"}, "uploadPartSize\nuploadSkipPattern\n"},
        {{"job", "retrieve", "ID", "--tier", ""}, "Bulk\nStandard\nExpedited\n"},
        {{"job", "wait", "--vault", "photos", ""}, jobId + "\n"},
        {{"job", "wait", jobId.substr(0, 4)}, jobId + "\n"},
        {{"job", "download", "--vault", "photos", jobId.substr(0, 4)}, jobId + "\n"},
    };
    for (const auto& [words, offered] : cases) {
        EXPECT_EQ(complete(words), offered) << ::testing::PrintToString(words);
    }
    EXPECT_EQ(occurrences(complete({"vault", "describe", "--"}), "--help\n"), 1);

    // The script quotes what it inserts.
    CliRunner shell(cli.home(), "/bin/bash");
    shell.setEnv("QUILLON_HOME", cli.home());
    auto quoted = shell.runWithoutHome(
        {"-c",
         "source '" + sourceFile("cli/completion/quillon.bash") + "'; COMP_WORDS=('" +
             cliProgram() +
             "' account show my); COMP_CWORD=3; _quillon; printf '%s\\n' \"${COMPREPLY[@]}\""});
    EXPECT_EQ(quoted.out, "my\\ work\n") << quoted.err;
}

TEST_F(CronCliTest, PrefsTravelAsKeyValueTextAndEveryValueIsChecked) {
    const std::string exported = runOK({"prefs", "export"}).out;
    EXPECT_THAT(exported, HasSubstr("\nuploadPartSize = 16  # MiB\n"));
    EXPECT_THAT(exported, HasSubstr("\nhasUploadSpeedLimit = false\n"));
    auto value = [&](const std::string& key) { return runJSON({"prefs", "show"})[key]; };

    auto refused =
        runFails({"prefs", "import", "-"}, 1, "Nothing was changed.",
                 "uploadPartSize = 8\nmaxConcurrentUploads = 0\nnoSuchKey = 1\nnonsense\n");
    EXPECT_THAT(refused.err,
                HasSubstr("standard input, line 2: The value of maxConcurrentUploads"));
    EXPECT_THAT(refused.err, HasSubstr("line 3: Unknown preference \"noSuchKey\""));
    EXPECT_THAT(refused.err, HasSubstr("line 4: not KEY = VALUE"));
    EXPECT_EQ(value("uploadPartSize"), 16);

    runOK({"prefs", "import", "-"}, "");  // nothing to change
    std::ofstream(temp.file("prefs.txt")) << exported << "uploadPartSize = 8   # MiB\n"
                                          << "uploadSkipPattern = *.tmp # kept whole\n";
    runOK({"prefs", "import", temp.file("prefs.txt")});
    EXPECT_EQ(value("uploadPartSize"), 8);
    EXPECT_EQ(value("uploadSkipPattern"), "*.tmp # kept whole");

    cli.setEnv("VISUAL", "");
    cli.setEnv("EDITOR", "sed -i s/^maxConcurrentUploads.*/maxConcurrentUploads=3/");
    runOK({"prefs", "edit"});
    EXPECT_EQ(value("maxConcurrentUploads"), 3);
    cli.setEnv("EDITOR", "sed -i s/^maxConcurrentUploads.*/maxConcurrentUploads=three/");
    runFails({"prefs", "edit"}, 1, "the edited preferences, line");
    EXPECT_EQ(value("maxConcurrentUploads"), 3);
    EXPECT_EQ(value("uploadPartSize"), 8);
}

TEST_F(CronCliTest, MultipartListShowsDecodedPaths) {
    auto started = sim.send(
        "POST", "/-/vaults/photos/multipart-uploads", "",
        {"x-amz-archive-description: 2026/Zo%C3%AB birthday.mov", "x-amz-part-size: 1048576"});
    ASSERT_EQ(started.status, 201) << started.body;
    EXPECT_THAT(runOK({"multipart", "list", "--vault", "photos"}).out,
                HasSubstr("2026/Zo\xC3\xAB birthday.mov"));
    auto listed = runJSON({"multipart", "list", "--vault", "photos"});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["name"], "2026/Zo\xC3\xAB birthday.mov");
    EXPECT_EQ(listed[0]["description"], "2026/Zo%C3%AB birthday.mov");
}

}  // namespace
}  // namespace quillon::testing
