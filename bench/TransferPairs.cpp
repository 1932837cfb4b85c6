// The whole quillon program against the AWS CLI on the same simulator, in pairs in one run: a
// 1 GiB upload (`quillon upload --force` of a file not in the hash cache, against
// `aws glacier upload-archive`) and the download of a job's output (`quillon job download
// --force`, verified, against `aws glacier get-job-output`), both overwriting the file of the
// round before. Each side runs as a process of its own; for each the median wall time, CPU
// time (user and system) and peak resident memory over the rounds, and the ratio of the
// medians. Run with the default preferences (one transfer at a time, 16 MiB parts) and again
// with 4 at once. Also the bytes quillon reads (/proc rchar) per byte uploaded.
//
//   TransferPairs --sim=PATH [--quillon=PATH] [--aws=PATH] [--file=PATH] [--rounds=N]
//                 [--mebibytes=N]
// Threads: one thread; the programs measured and the simulator are child processes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "foundation/ChildProcess.h"
#include "support/BenchSimulator.h"

namespace {

namespace fs = std::filesystem;
using quillon::ChildResult;

struct Settings {
    std::string quillon = QUILLON_CLI_PATH;
    std::string aws = "/usr/bin/aws";
    std::string file;
    int rounds = 3;
    std::int64_t mebibytes = 1024;
};

struct Measure {
    double seconds = 0;
    double cpu = 0;
    double peakMiB = 0;
    double readPerByte = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

class Bench {
  public:
    Bench(Settings settings, const quillon::bench::BenchSimulator& sim)
        : settings_(std::move(settings)),
          sim_(sim),
          home_(fs::temp_directory_path() / "quillon-transfer-pairs") {
        fs::remove_all(home_);
        fs::create_directories(home_ / "app");
        std::ofstream(home_ / "app" / "Regions.json")
            << nlohmann::json{{"local-1", {{"name", "Local"}, {"host", sim_.baseURL()}}}}.dump();
        quillon({"account", "add", "bench", "--access-key", quillon::bench::kAccessKey,
                 "--secret-stdin", "--region", "local-1"},
                std::string(quillon::bench::kSecretKey) + "\n");
        quillon({"vault", "create", "bench"});
    }

    ~Bench() { fs::remove_all(home_); }

    // Runs quillon with this bench's home; fails the bench when it fails.
    ChildResult quillon(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--home", (home_ / "app").string()});
        return checked(settings_.quillon, args, input);
    }

    ChildResult aws(std::vector<std::string> args) {
        args.insert(args.begin(), "glacier");
        args.insert(args.end(), {"--account-id", "-", "--vault-name", "bench", "--endpoint-url",
                                 sim_.baseURL(), "--output", "json"});
        return checked(settings_.aws, args, "");
    }

    void prefs(int atOnce) {
        quillon({"prefs", "set", "maxConcurrentUploads", std::to_string(atOnce)});
        quillon({"prefs", "set", "maxConcurrentDownloads", std::to_string(atOnce)});
    }

    // One upload each, in alternating order; the archives are deleted again (not timed).
    void uploadPair(int round, std::map<std::string, std::vector<Measure>>& results) {
        for (int side = 0; side < 2; ++side) {
            if ((side + round) % 2 == 0) {
                fs::remove(home_ / "app" / "Hashes.db");  // a file not in the hash cache
                ChildResult run =
                    quillon({"--json", "upload", settings_.file, "--vault", "bench", "--force"});
                results["quillon"].push_back(measure(run, true));
                lastArchive_ = nlohmann::json::parse(run.out).at(0).at("archiveId");
                quillon({"delete", lastArchive_, "--vault", "bench"});
            } else {
                ChildResult run = aws({"upload-archive", "--body", settings_.file});
                results["aws"].push_back(measure(run, false));
                quillon(
                    {"delete", nlohmann::json::parse(run.out).at("archiveId"), "--vault", "bench"});
            }
        }
    }

    // The job whose output the downloads fetch: a retrieval of one more upload.
    void prepareJob() {
        ChildResult run =
            quillon({"--json", "upload", settings_.file, "--vault", "bench", "--force"});
        const std::string archive = nlohmann::json::parse(run.out).at(0).at("archiveId");
        job_ = nlohmann::json::parse(
                   quillon({"--json", "job", "retrieve", archive, "--vault", "bench"}).out)
                   .at("jobId");
        quillon({"job", "wait", job_, "--vault", "bench", "--interval", "0.1"});
    }

    void downloadPair(int round, std::map<std::string, std::vector<Measure>>& results) {
        const fs::path mine = home_ / "quillon.out";
        const fs::path theirs = home_ / "aws.out";
        for (int side = 0; side < 2; ++side) {
            if ((side + round) % 2 == 0) {
                results["quillon"].push_back(
                    measure(quillon({"job", "download", job_, "--vault", "bench", "--out",
                                     mine.string(), "--force"}),
                            false));
            } else {
                results["aws"].push_back(
                    measure(aws({"get-job-output", "--job-id", job_, theirs.string()}), false));
            }
        }
    }

  private:
    ChildResult checked(const std::string& program, const std::vector<std::string>& args,
                        const std::string& input) {
        quillon::ChildOptions options;
        options.captureErr = true;
        options.timeout = std::chrono::minutes(10);
        options.env = {{"AWS_ACCESS_KEY_ID", quillon::bench::kAccessKey},
                       {"AWS_SECRET_ACCESS_KEY", quillon::bench::kSecretKey},
                       {"AWS_DEFAULT_REGION", "us-east-1"},
                       {"AWS_EC2_METADATA_DISABLED", "true"},
                       {"AWS_PAGER", ""},
                       {"HOME", home_.string()}};
        options.unsetEnv = {"QUILLON_HOME", "AWS_PROFILE", "AWS_ENDPOINT_URL"};
        const auto started = std::chrono::steady_clock::now();
        ChildResult result = quillon::runChild(program, args, input, options);
        lastSeconds_ =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (result.exitCode != 0) {
            std::fprintf(stderr, "%s failed (%d): %s\n", program.c_str(), result.exitCode,
                         result.err.c_str());
            std::exit(2);
        }
        return result;
    }

    Measure measure(const ChildResult& run, bool reads) const {
        Measure measured;
        measured.seconds = lastSeconds_;
        measured.cpu = run.cpuSeconds;
        measured.peakMiB = static_cast<double>(run.peakResidentBytes) / 1048576.0;
        if (reads) {
            measured.readPerByte = static_cast<double>(run.bytesRead) /
                                   static_cast<double>(settings_.mebibytes * 1048576);
        }
        return measured;
    }

    Settings settings_;
    const quillon::bench::BenchSimulator& sim_;
    fs::path home_;
    double lastSeconds_ = 0;
    std::string lastArchive_;
    std::string job_;
};

void report(const char* what, std::map<std::string, std::vector<Measure>>& results) {
    auto column = [&](const std::string& side, double Measure::*field) {
        std::vector<double> values;
        for (const Measure& m : results[side]) {
            values.push_back(m.*field);
        }
        return median(values);
    };
    const double mine = column("quillon", &Measure::seconds);
    const double theirs = column("aws", &Measure::seconds);
    std::printf(
        "%-28s quillon %6.2f s (cpu %6.2f s, peak %7.1f MiB)   aws %6.2f s (cpu %6.2f s, "
        "peak %7.1f MiB)   ratio %.2f\n",
        what, mine, column("quillon", &Measure::cpu), column("quillon", &Measure::peakMiB), theirs,
        column("aws", &Measure::cpu), column("aws", &Measure::peakMiB),
        theirs > 0 ? mine / theirs : 0.0);
    if (const double read = column("quillon", &Measure::readPerByte); read > 0) {
        std::printf("%-28s quillon read %.3f bytes of the file per byte uploaded (rchar)\n", "",
                    read);
    }
    std::fflush(stdout);
}

void createFile(const std::string& path, std::int64_t bytes) {
    if (fs::exists(path) && static_cast<std::int64_t>(fs::file_size(path)) == bytes) {
        return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1048576);
    for (std::int64_t written = 0; written < bytes; written += 1048576) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((written + static_cast<std::int64_t>(i)) * 31 + 7);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto arguments = quillon::bench::BenchArguments::parse(argc, argv);
    if (!arguments.requireSimulator()) {
        return 2;
    }
    Settings settings;
    for (char* argument : arguments.rest) {
        const std::string text = argument;
        auto value = [&](const char* name) -> std::optional<std::string> {
            const std::string prefix = std::string(name) + "=";
            return text.rfind(prefix, 0) == 0 ? std::optional(text.substr(prefix.size()))
                                              : std::nullopt;
        };
        if (auto path = value("--quillon")) {
            settings.quillon = *path;
        } else if (auto aws = value("--aws")) {
            settings.aws = *aws;
        } else if (auto rounds = value("--rounds")) {
            settings.rounds = std::max(1, std::stoi(*rounds));
        } else if (auto size = value("--mebibytes")) {
            settings.mebibytes = std::max<std::int64_t>(1, std::stoll(*size));
        }
    }
    settings.file = arguments.file.value_or(
        (fs::temp_directory_path() / "quillon-transfer-pairs.bin").string());
    createFile(settings.file, settings.mebibytes * 1048576);
    quillon::bench::BenchSimulator sim(arguments.simulator, {"--job-delay", "0"});
    Bench bench(settings, sim);
    bench.prepareJob();
    for (int atOnce : {1, 4}) {
        bench.prefs(atOnce);
        std::map<std::string, std::vector<Measure>> uploads;
        std::map<std::string, std::vector<Measure>> downloads;
        for (int round = 0; round < settings.rounds; ++round) {
            bench.uploadPair(round, uploads);
            bench.downloadPair(round, downloads);
        }
        const std::string label =
            std::to_string(settings.mebibytes) + " MiB, " + std::to_string(atOnce) + " at once";
        report(("upload, " + label).c_str(), uploads);
        report(("download, " + label).c_str(), downloads);
    }
    return 0;
}
