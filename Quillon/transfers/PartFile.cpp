// PartFile: resuming, finishing and discarding a .part file. Threads: as in PartFile.h.
#include "transfers/PartFile.h"

#include <cerrno>
#include <utility>

#include "interfaces/files/FileHelpers.h"

namespace quillon {

PartFile::PartFile(std::string target, std::string jobId)
    : target_(std::move(target)),
      path_(target_ + ".part"),
      bindingPath_(path_ + ".job"),
      jobId_(std::move(jobId)) {}

std::int64_t PartFile::prepare(const std::optional<std::int64_t>& size, ErrorPtr& error) {
    std::int64_t offset = 0;
    if (FileHelpers::exists(path_)) {
        if (!FileHelpers::regularFileExists(path_)) {
            error = FileHelpers::makeError(EEXIST, "Not a regular file, in the way of the download",
                                           path_);
            return 0;
        }
        const bool bound = FileHelpers::readFile(bindingPath_) == jobId_;
        const std::optional<std::int64_t> existing = FileHelpers::fileSize(path_);
        // Without the output's size no range can be asked for; start afresh.
        if (bound && existing && size && *existing <= *size) {
            offset = *existing;
        }
    }
    if (offset == 0) {
        if (FileHelpers::exists(path_)) {
            if ((error = FileHelpers::deleteFile(path_))) {
                return 0;
            }
        }
        if ((error = FileHelpers::writeFile(path_, "", 0600))) {
            return 0;
        }
        error = FileHelpers::writeFileAtomically(bindingPath_, jobId_, 0600);
    }
    return offset;
}

ErrorPtr PartFile::finish() {
    if (ErrorPtr error = FileHelpers::moveItem(path_, target_)) {
        return error;
    }
    FileHelpers::deleteFile(bindingPath_);
    return nullptr;
}

void PartFile::discard() {
    FileHelpers::deleteFile(path_);
    FileHelpers::deleteFile(bindingPath_);
}

}  // namespace quillon
