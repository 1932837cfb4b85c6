// quillon demo: the whole road against a simulator of its own, in a temporary directory.
// Runs on the main thread; the simulator and every step are child processes it waits for.

#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "foundation/ChildProcess.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDemoAccessKey = "AKIDEXAMPLE";
constexpr const char* kDemoSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
constexpr const char* kDemoRegion = "demo-1";
constexpr const char* kDemoVault = "quillon-demo";

// The simulator installed beside this program, else the one of the build tree, else PATH's.
std::string simulatorPath() {
    const fs::path here = fs::path(selfExecutable()).parent_path();
    for (const fs::path& candidate :
         {here / "quillon-sim", here / ".." / "tools" / "quillon-sim"}) {
        std::error_code ignored;
        if (fs::exists(candidate, ignored)) {
            return candidate.string();
        }
    }
    return "quillon-sim";
}

void writePattern(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::string block(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        block[i] = static_cast<char>((i * 31 + 7) % 251);
    }
    out << block;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The whole road against a simulator of our own, each step a run of this very program as a
// user would type it.
class DemoRun {
  public:
    explicit DemoRun(CliContext& context) : context_(context), out_(context.output().out()) {}

    int run() {
        char pattern[] = "/tmp/quillon-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            context_.fail(std::string("demo: cannot create a temporary directory"));
        }
        work_ = pattern;
        home_ = work_ / "home";
        fs::create_directories(home_);

        BackgroundProcess simulator(simulatorPath(),
                                    {"--port", "0", "--access-key", kDemoAccessKey, "--secret-key",
                                     kDemoSecret, "--job-delay", "1"});
        const std::string prefix = "listening on ";
        if (simulator.firstLine().rfind(prefix, 0) != 0) {
            context_.fail("demo: the simulator did not start (" + simulatorPath() + ")");
        }
        endpoint_ = simulator.firstLine().substr(prefix.size());
        out_ << "Quillon demo: simulator at " << endpoint_ << ", application directory " << home_
             << "\n";

        runSteps();
        simulator.stop();
        step("stop the simulator", [&] { return !simulator.running(); });
        std::error_code ignored;
        fs::remove_all(work_, ignored);

        out_ << "\ndemo: " << passed_ << " of " << total_ << " steps succeeded"
             << (passed_ == total_ ? "" : " (see the failures above)") << "\n";
        out_.flush();
        return passed_ == total_ ? 0 : 2;
    }

  private:
    void step(const std::string& title, const std::function<bool()>& body) {
        ++total_;
        out_ << "\n[" << total_ << "] " << title << "\n";
        out_.flush();
        bool ok = false;
        try {
            ok = body();
        } catch (const std::exception& error) {
            out_ << "    error: " << error.what() << "\n";
        }
        if (ok) {
            ++passed_;
        } else {
            out_ << "    FAILED\n";
        }
    }

    // Runs `quillon --home HOME args...`, shows the command and its output indented.
    ChildResult quillon(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> full = {"--home", home_.string(), "--quiet"};
        full.insert(full.end(), args.begin(), args.end());
        out_ << "    $ quillon";
        for (const std::string& arg : args) {
            out_ << " " << arg;
        }
        out_ << "\n";
        out_.flush();
        ChildResult result = runChild(selfExecutable(), full, input);
        std::istringstream lines(result.out);
        std::string line;
        int shown = 0;
        while (std::getline(lines, line)) {
            if (++shown > 40) {
                out_ << "      ...\n";
                break;
            }
            out_ << "      " << line << "\n";
        }
        if (result.exitCode != 0) {
            out_ << "    (exit status " << result.exitCode << ")\n";
        }
        return result;
    }

    bool ok(const std::vector<std::string>& args, const std::string& input = "") {
        return quillon(args, input).exitCode == 0;
    }

    nlohmann::json json(const std::vector<std::string>& args) {
        std::vector<std::string> withJSON = {"--json"};
        withJSON.insert(withJSON.end(), args.begin(), args.end());
        ChildResult result = quillon(withJSON);
        if (result.exitCode != 0) {
            return nullptr;
        }
        return nlohmann::json::parse(result.out, nullptr, false);
    }

    bool waitAndDownload(const std::string& jobId, const fs::path& out) {
        return !jobId.empty() &&
               ok({"job", "wait", jobId, "--vault", kDemoVault, "--interval", "0.5"}) &&
               ok({"job", "download", jobId, "--vault", kDemoVault, "--out", out.string()});
    }

    void runSteps() {
        step("add a custom region for the simulator and an account", [&] {
            std::ofstream(home_ / "Regions.json")
                << nlohmann::json(
                       {{kDemoRegion, {{"name", "Demo (local simulator)"}, {"host", endpoint_}}}})
                       .dump(2);
            return ok({"region", "list"}) &&
                   ok({"account", "add", "demo", "--access-key", kDemoAccessKey, "--secret-stdin",
                       "--region", kDemoRegion},
                      std::string(kDemoSecret) + "\n") &&
                   ok({"account", "check", "demo"});
        });
        step("sync the vault list and create a vault", [&] {
            return ok({"vault", "sync"}) && ok({"vault", "create", kDemoVault}) &&
                   ok({"vault", "list"});
        });
        fs::path small = work_ / "hello.txt";
        fs::path large = work_ / "photo-archive.bin";
        std::ofstream(small) << "Hello from Quillon.\n";
        writePattern(large, 3 * 1024 * 1024 + 12345);
        step("upload a small file and a multipart file (1 MiB parts)", [&] {
            if (!ok({"prefs", "set", "uploadPartSize", "1"})) {
                return false;
            }
            auto uploaded = json({"upload", small.string(), large.string(), "--vault", kDemoVault,
                                  "--folder", "documents"});
            if (!uploaded.is_array() || uploaded.size() != 2) {
                return false;
            }
            smallArchive_ = uploaded[0].value("archiveId", "");
            largeArchive_ = uploaded[1].value("archiveId", "");
            return !smallArchive_.empty() && !largeArchive_.empty();
        });
        step("create a folder", [&] { return ok({"mkdir", "pictures", "--vault", kDemoVault}); });
        fs::path inventory = work_ / "inventory.json";
        step("start an inventory job, wait for it and download it", [&] {
            auto started = json({"job", "inventory", "--vault", kDemoVault});
            return started.is_object() && waitAndDownload(started.value("jobId", ""), inventory);
        });
        step("import the inventory and browse it", [&] {
            return ok({"inventory", "import", "--vault", kDemoVault, "--file",
                       inventory.string()}) &&
                   ok({"inventory", "ls", "--vault", kDemoVault}) &&
                   ok({"inventory", "ls", "--vault", kDemoVault, "documents"}) &&
                   ok({"inventory", "tree", "--vault", kDemoVault}) &&
                   ok({"inventory", "du", "--vault", kDemoVault});
        });
        step("search the inventory", [&] {
            auto found = json({"inventory", "find", "--vault", kDemoVault, "photo"});
            return found.is_array() && found.size() == 1;
        });
        fs::path retrieved = work_ / "retrieved.bin";
        step("retrieve the multipart archive and compare it byte for byte", [&] {
            auto started = json({"job", "retrieve", largeArchive_, "--vault", kDemoVault});
            if (!started.is_object() || !waitAndDownload(started.value("jobId", ""), retrieved)) {
                return false;
            }
            bool same = readAll(retrieved) == readAll(large);
            out_ << "    " << (same ? "identical" : "DIFFERENT") << " (" << fs::file_size(large)
                 << " bytes)\n";
            return same;
        });
        step("delete the retrieved archive and the small one", [&] {
            return ok({"delete", largeArchive_, "--vault", kDemoVault}) &&
                   ok({"delete", smallArchive_, "--vault", kDemoVault}) &&
                   ok({"inventory", "ls", "--vault", kDemoVault});
        });
    }

    CliContext& context_;
    std::ostream& out_;
    fs::path work_;
    fs::path home_;
    std::string endpoint_;
    std::string smallArchive_;
    std::string largeArchive_;
    int total_ = 0;
    int passed_ = 0;
};

}  // namespace

void registerDemoCommand(CLI::App& app, CliContext& context) {
    CLI::App* demo = app.add_subcommand(
        "demo",
        "Run the whole road against a local simulator: account, vault, uploads, inventory, "
        "retrieval");
    demo->callback([&context] {
        int status = DemoRun(context).run();
        if (status != 0) {
            context.fail(std::string("demo: not every step succeeded"));
        }
    });
}

}  // namespace quillon::cli
