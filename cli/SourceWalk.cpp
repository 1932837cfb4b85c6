// SourceWalk: lstat/stat of each entry, and the directories on the way down that a followed
// link must not lead back into. Threads: as in SourceWalk.h.

#include "SourceWalk.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"

namespace quillon::cli {

namespace {

using DirectoryId = std::pair<dev_t, ino_t>;

// What a non-regular, non-directory entry is, in words.
std::string kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

class Walker {
  public:
    Walker(bool followLinks, const SourceWalk::Visitor& visitor)
        : followLinks_(followLinks), visitor_(visitor) {}

    // `st` is what stat says of `path` (the link's target when `path` is a followed link).
    void visit(const std::string& path, const std::string& relative, const struct stat& st) {
        if (S_ISREG(st.st_mode)) {
            visitor_({SourceWalk::Kind::File, path, relative, ""});
        } else if (S_ISDIR(st.st_mode)) {
            directory(path, relative, st);
        } else {
            skip(path, relative, kindOf(st.st_mode));
        }
    }

    void skip(const std::string& path, const std::string& relative, const std::string& reason) {
        visitor_({SourceWalk::Kind::Skipped, path, relative, reason});
    }

  private:
    void directory(const std::string& path, const std::string& relative, const struct stat& st) {
        DirectoryId id{st.st_dev, st.st_ino};
        if (!above_.insert(id).second) {
            skip(path, relative, "a link to a directory above it");
            return;
        }
        ErrorPtr error;
        for (const std::string& name : FileHelpers::listDirectory(path, "*", &error)) {
            entry(appendingPathComponent(path, name),
                  relative.empty() ? name : relative + "/" + name);
        }
        if (error) {
            visitor_({SourceWalk::Kind::Unreadable, path, relative, error->localizedDescription()});
        }
        above_.erase(id);
    }

    void entry(const std::string& path, const std::string& relative) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            visitor_({SourceWalk::Kind::Unreadable, path, relative, std::strerror(errno)});
            return;
        }
        if (S_ISLNK(st.st_mode)) {
            if (!followLinks_) {
                skip(path, relative, "a symbolic link (--follow-symlinks follows links)");
                return;
            }
            if (::stat(path.c_str(), &st) != 0) {
                skip(path, relative, "a dangling symbolic link");
                return;
            }
        }
        visit(path, relative, st);
    }

    bool followLinks_;
    const SourceWalk::Visitor& visitor_;
    std::set<DirectoryId> above_;  // the directories being walked, from the argument down
};

}  // namespace

void SourceWalk::walk(const std::string& argument, bool followLinks, const Visitor& visitor) {
    Walker walker(followLinks, visitor);
    std::string base = lastPathComponent(trimmingSlashes(argument));
    struct stat st {};
    if (::stat(argument.c_str(), &st) != 0) {
        struct stat link {};
        bool dangling = ::lstat(argument.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        visitor({dangling ? Kind::Skipped : Kind::Unreadable, argument, base,
                 dangling ? "a dangling symbolic link" : "there is no such file"});
        return;
    }
    walker.visit(argument, S_ISDIR(st.st_mode) ? base : lastPathComponent(argument), st);
}

}  // namespace quillon::cli
