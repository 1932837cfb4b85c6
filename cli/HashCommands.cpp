// quillon hash: tree hashes and sizes of files and folders, from the hash cache when current.
// Runs on the main thread; folders are hashed on the hasher's worker, whose progress and result
//   arrive on the main queue that the wait pumps.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "ProgressLine.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "ops/Awaited.h"
#include "transfers/FileHash.h"
#include "transfers/FileHasher.h"

namespace quillon::cli {

namespace {

struct HashOptions {
    std::vector<std::string> paths;
};

// The files below a directory, hashed on the hasher's worker with its progress.
std::vector<FileHashPtr> hashDirectory(CliContext& context, const std::string& directory) {
    FileHasher& hasher = FileHasher::sharedInstance();
    auto bar = std::make_shared<ProgressLine>(context.output(), "Hashing");
    bar->setLabel("Hashing", lastPathComponent(directory));
    hasher.progressBlock = [bar](FileHasher::Stage stage, int, std::optional<std::string>,
                                 std::int64_t processed, std::int64_t total) {
        if (stage == FileHasher::Stage::Hash) {
            bar->update(processed, total);
        }
    };
    // `done` runs on the main queue, which the wait pumps on this thread.
    ops::Awaited<std::vector<FileHashPtr>> hashed(context, ops::kTransferTimeout);
    hashed.onTimeout([] { FileHasher::sharedInstance().cancel(); });
    hasher.hashDirectory({directory}, hashed.completion());
    auto [hashes, failure] = hashed.wait();
    hasher.progressBlock = nullptr;
    bar->finish();
    if (failure) {
        context.fail(failure);
    }
    // The walk hashes newest-found first; list in path order.
    std::sort(hashes.begin(), hashes.end(),
              [](const FileHashPtr& a, const FileHashPtr& b) { return a->path() < b->path(); });
    return hashes;
}

void hashFiles(CliContext& context, const HashOptions& options) {
    std::vector<FileHashPtr> hashes;
    for (const std::string& path : options.paths) {
        if (FileHelpers::directoryExists(path)) {
            auto found = hashDirectory(context, path);
            hashes.insert(hashes.end(), found.begin(), found.end());
            continue;
        }
        ErrorPtr error;
        FileHashPtr hash = FileHasher::sharedInstance().compute(path, {}, &error);
        if (!hash) {
            context.fail(error);
        }
        hashes.push_back(std::move(hash));
    }
    JSON::Value document = JSON::Value::array();
    for (const auto& hash : hashes) {
        document.push_back(
            {{"path", hash->path()}, {"size", hash->cachedSize}, {"treeHash", *hash->treeHash}});
    }
    context.output().result(document, [&](std::ostream& out) {
        for (const auto& hash : hashes) {
            out << *hash->treeHash << "  " << hash->cachedSize << "  " << hash->path() << "\n";
        }
    });
}

}  // namespace

void registerHashCommands(CLI::App& app, CliContext& context) {
    auto options = std::make_shared<HashOptions>();
    CLI::App* hash = app.add_subcommand(
        "hash", "Print the tree hash of files (cached); a directory hashes the files below it");
    hash->add_option("FILE", options->paths, "Files or directories")->required();
    hash->callback([&context, options] { hashFiles(context, *options); });
}

}  // namespace quillon::cli
