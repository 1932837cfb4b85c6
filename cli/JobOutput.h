// JobOutput: the verified download of a succeeded job's output.
// Threads: main thread (see downloadJobOutput).
#pragma once

#include <cstdint>
#include <string>

#include "vaults/Vault.h"

namespace quillon::cli {

class CliContext;

// A succeeded job's output, downloaded and verified.
struct JobOutputFile {
    std::string path;
    std::int64_t size = 0;
    std::string treeHash;  // empty when neither the answer nor the job carried one
    std::int64_t resumedAt = 0;
};

// The one verified download of a job's output (job download, inventory import --job): through
// "<out>.part" bound to the job, resumed at its end, the byte count checked against the job's
// size and the answer's, the tree hash against the service's; only then moved to `out`. Fails
// the command (exit 2) otherwise. Runs on the main thread.
JobOutputFile downloadJobOutput(CliContext& context, const VaultPtr& vault,
                                const std::string& jobId, const std::string& out);

}  // namespace quillon::cli
