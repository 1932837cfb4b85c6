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

// The one verified download of a job's output (job download, inventory import --job), with the
// preferences' part size and parts in flight, and its progress line: JobOutputDownload. Fails
// the command (exit 2) when it fails, naming what the .part file keeps for the next run.
JobOutputFile downloadJobOutput(CliContext& context, const VaultPtr& vault,
                                const std::string& jobId, const std::string& out);

}  // namespace quillon::cli
