// PartFile: a job's output being downloaded, bound to its job. Threads: see below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "interfaces/base/Error.h"

namespace quillon {

// A job's output on its way to `target`: the bytes go to "<target>.part", and
// "<target>.part.job" names the job they belong to. A .part file is resumed only by the job it
// is bound to; one of another job (or of none) is never spliced onto, it is started afresh.
// The binding is written after an unbound .part is emptied and before any byte of the job
// lands, so a crash at any point leaves bytes bound to the job they came from.
//
// Thread rules: one object per download, used by one thread at a time.
class PartFile {
  public:
    PartFile(std::string target, std::string jobId);

    const std::string& target() const { return target_; }
    const std::string& path() const { return path_; }

    // The bytes already downloaded for this job that can be resumed: the .part file's size when
    // it is bound to this job and not longer than `size` (the whole output, when known), else
    // 0 with the .part file emptied. Either way the .part file is bound to the job on return.
    // An error when something other than a regular file is in the way, or the binding cannot
    // be written.
    std::int64_t prepare(const std::optional<std::int64_t>& size, ErrorPtr& error);
    // Moves the finished .part file to the target and drops the binding.
    ErrorPtr finish();
    // Removes the .part file and its binding.
    void discard();

  private:
    std::string target_;
    std::string path_;
    std::string bindingPath_;
    std::string jobId_;
};

}  // namespace quillon
