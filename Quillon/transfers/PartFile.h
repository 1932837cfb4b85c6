// PartFile: a job's output being downloaded, bound to its job, with its verified pieces.
// Threads: one object per download; prepare(), finish() and discard() on the driving thread,
//   noteVerified() from the parts' completions, one call at a time (the caller serialises).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"

namespace quillon {

// A job's output on its way to `target`: the bytes go to "<target>.part", and
// "<target>.part.job" names the job they belong to on its first line, then one line
// "OFFSET LENGTH TREEHASH" per piece of the output written and checked there. A .part file is
// resumed only by the job it is bound to; one of another job (or of none) is never spliced onto,
// it is started afresh. The binding is written after an unbound .part is emptied and before any
// byte of the job lands, and a piece is noted only after its bytes are written, so a process
// killed at any point leaves every noted piece in place for the next run.
//
// The .part file is never made full-size up front: pieces are written at their offsets, and
// what a later run keeps is what the binding notes, not the file's length.
class PartFile {
  public:
    // A piece of the output in the .part file: `length` bytes at `offset`, whose tree hash was
    // `treeHash` when it was written.
    struct Piece {
        std::int64_t offset = 0;
        std::int64_t length = 0;
        std::string treeHash;
        bool operator==(const Piece&) const = default;
    };

    PartFile(std::string target, std::string jobId);

    const std::string& target() const { return target_; }
    const std::string& path() const { return path_; }

    // The pieces written earlier for this job that may be kept: those noted in the binding when
    // it names this job, `size` (the whole output) is known and the .part file is not longer
    // than it; else none, with the .part file emptied. Either way the .part file is bound to the
    // job on return. An error when something other than a regular file is in the way, or the
    // binding cannot be written.
    std::vector<Piece> prepare(const std::optional<std::int64_t>& size, ErrorPtr& error);
    // Notes a piece written and checked in the .part file.
    ErrorPtr noteVerified(const Piece& piece);
    // Moves the finished .part file to the target and drops the binding. A file already at the
    // target is removed first: renaming over it would make the file system write the new
    // file's data out at once (its guard for files replaced by a rename).
    ErrorPtr finish();
    // Removes the .part file and its binding.
    void discard();

  private:
    std::vector<Piece> notedPieces(const std::string& binding) const;

    std::string target_;
    std::string path_;
    std::string bindingPath_;
    std::string jobId_;
};

}  // namespace quillon
