// SourceWalk: what an upload finds under its arguments: regular files to send, and each link,
// FIFO, device or socket it leaves out, with the reason.
// Threads: no state between calls; the caller's thread.
#pragma once

#include <functional>
#include <string>

namespace quillon::cli {

// Walks the files and directories named on the command line, depth first, entries of one
// directory sorted by name. Symbolic links below an argument are left out unless links are
// followed; a followed link that leads back into a directory above it is left out too, so the
// walk always ends. An argument that is itself a link is followed: the user named it.
class SourceWalk {
  public:
    enum class Kind { File, Skipped, Unreadable };

    struct Found {
        Kind kind = Kind::File;
        std::string path;      // as the argument spells it, plus the path below it
        std::string relative;  // the argument's last component, plus the path below it
        std::string reason;    // why it was skipped or cannot be read
    };
    using Visitor = std::function<void(const Found&)>;

    static void walk(const std::string& argument, bool followLinks, const Visitor& visitor);
};

}  // namespace quillon::cli
