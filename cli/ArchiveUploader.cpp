// ArchiveUploader: running ArchiveUpload and saying how it ended. Threads: as in
// ArchiveUploader.h.

#include "ArchiveUploader.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "CliContext.h"
#include "foundation/Error.h"
#include "foundation/ModelError.h"
#include "transfers/Archive.h"
#include "transfers/ArchiveUpload.h"
#include "vaults/Vault.h"

namespace quillon::cli {

ArchiveUploader::ArchiveUploader(CliContext& context, VaultPtr vault, std::int64_t partSizeMiB,
                                 int maxConcurrent)
    : context_(context),
      vault_(std::move(vault)),
      partSizeMiB_(partSizeMiB),
      maxConcurrent_(std::max(1, maxConcurrent)) {}

ArchiveUploader::Result ArchiveUploader::upload(const std::string& path,
                                                const std::string& description,
                                                const Progress& progress) {
    ArchiveUpload::Options options;
    options.partSizeMiB = partSizeMiB_;
    options.concurrency = maxConcurrent_;
    options.description = description;
    options.sent = progress.sent;
    options.held = progress.held;
    options.note = [this](const std::string& text) { context_.output().note(text); };
    const ArchiveUpload::Result result = ArchiveUpload(vault_, path, options).run();
    if (!result.error) {
        return {result.archiveId, result.treeHash, result.size};
    }
    const Error& error = *result.error;
    if (error.domain() == ModelError::kDomain && error.code() == 1 && !result.archiveId.empty()) {
        context_.fail("The archive " + result.archiveId + " was stored for " + path +
                      ", but the service computed another tree hash for it than for the bytes "
                      "read from the file (" +
                      result.treeHash +
                      "): the data was damaged on the way. Delete that archive with: quillon "
                      "delete " +
                      result.archiveId + " --vault " + vault_->name +
                      " and then upload the file again.");
    }
    if (error.domain() == ModelError::kDomain && error.code() == Archive::kNotRecordedCode) {
        context_.fail(error.localizedDescription());
    }
    if (result.unconfirmed) {
        context_.fail(error.localizedDescription() +
                      " Later runs skip the file until an imported inventory shows it absent, "
                      "or --force is given.");
    }
    if (!result.uploadId.empty() && error.domain() != ArchiveUpload::kErrorDomain) {
        context_.fail(error.localizedDescription() +
                      " (the upload can be resumed: run the same command again)");
    }
    context_.fail(result.error);
}

}  // namespace quillon::cli
