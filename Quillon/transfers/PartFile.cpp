// PartFile: resuming, noting pieces, finishing and discarding a .part file. Threads: as in
// PartFile.h.
#include "transfers/PartFile.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "interfaces/files/FileDescriptor.h"

namespace quillon {

PartFile::PartFile(std::string target, std::string jobId)
    : target_(std::move(target)),
      path_(target_ + ".part"),
      bindingPath_(path_ + ".job"),
      jobId_(std::move(jobId)) {}

std::vector<PartFile::Piece> PartFile::notedPieces(const std::string& binding) const {
    std::istringstream lines(binding);
    std::string line;
    std::vector<Piece> pieces;
    if (!std::getline(lines, line) || line != jobId_) {
        return pieces;
    }
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Piece piece;
        // A line cut short by a killed process is left out.
        if (fields >> piece.offset >> piece.length >> piece.treeHash && piece.offset >= 0 &&
            piece.length > 0 && piece.treeHash.size() == 64) {
            pieces.push_back(std::move(piece));
        }
    }
    return pieces;
}

std::vector<PartFile::Piece> PartFile::prepare(const std::optional<std::int64_t>& size,
                                               ErrorPtr& error) {
    std::vector<Piece> pieces;
    bool bound = false;
    // A file at the target stays whole until finish() replaces it, but its cached pages go now:
    // the download's pages then come from memory freed a moment ago rather than from memory
    // long idle, which a virtual machine may have handed back to its host (a fault per page on
    // first touch, up to half a download's time).
    FileHelpers::releaseCachedPages(target_);
    if (FileHelpers::exists(path_)) {
        if (!FileHelpers::regularFileExists(path_)) {
            error = FileHelpers::makeError(EEXIST, "Not a regular file, in the way of the download",
                                           path_);
            return {};
        }
        const std::string binding = FileHelpers::readFile(bindingPath_).value_or("");
        bound = binding.substr(0, binding.find('\n')) == jobId_;
        const std::optional<std::int64_t> existing = FileHelpers::fileSize(path_);
        // Without the output's size no range can be asked for; start afresh.
        if (bound && existing && size && *existing <= *size) {
            pieces = notedPieces(binding);
            std::erase_if(pieces, [&](const Piece& piece) {
                return piece.offset + piece.length > *existing;
            });
        } else {
            bound = false;
        }
    }
    if (!bound) {
        if (FileHelpers::exists(path_)) {
            if ((error = FileHelpers::deleteFile(path_))) {
                return {};
            }
        }
        if ((error = FileHelpers::writeFile(path_, "", 0600))) {
            return {};
        }
        // No flush to disk: a binding cut short by a crash names no job and no piece, and every
        // noted piece is hashed again before it is kept. A flush here waits for the disk to take
        // all the dirty pages before it (an overwritten download's, say): half a second per GiB.
        error = FileHelpers::writeFile(bindingPath_, jobId_ + "\n", 0600);
    }
    return pieces;
}

ErrorPtr PartFile::noteVerified(const Piece& piece) {
    FileDescriptor binding = FileDescriptor::open(bindingPath_, O_WRONLY | O_APPEND);
    const std::string line = std::to_string(piece.offset) + " " + std::to_string(piece.length) +
                             " " + piece.treeHash + "\n";
    if (!binding || !binding.writeFully(line.data(), line.size())) {
        return FileHelpers::makeError(errno, "Cannot note the downloaded bytes in", bindingPath_);
    }
    return nullptr;
}

ErrorPtr PartFile::finish() {
    if (FileHelpers::regularFileExists(target_)) {
        if (ErrorPtr error = FileHelpers::deleteFile(target_)) {
            return error;
        }
    }
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
