// FileHelpers: file and directory operations on the local file system, with file errors.
// Threads: no shared state; any thread (what two threads do to the same path is theirs to order).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Error.h"

namespace quillon {

// A file's modification time: whole seconds since 1970-01-01 UTC and the nanoseconds within
// that second.
struct FileTimestamp {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;

    double asDouble() const { return static_cast<double>(seconds) + nanoseconds / 1e9; }
    bool operator==(const FileTimestamp&) const = default;
};

// What tells one version of a file from another without reading it: the size, the modification
// and status-change times to the nanosecond, and the inode and device the path leads to. A file
// replaced by another (a new inode) or written in place (a new status-change time, which no
// one can set back) gets another stamp even when its size and modification time are the same.
struct FileStamp {
    std::int64_t size = 0;
    FileTimestamp modified;
    FileTimestamp changed;
    std::uint64_t inode = 0;
    std::uint64_t device = 0;

    bool operator==(const FileStamp&) const = default;
};

// A file that could not be read or written, thrown where a call has no error to return: it
// carries the file error (FileHelpers::makeError) for the path.
class FileError : public std::runtime_error {
  public:
    explicit FileError(ErrorPtr error)
        : std::runtime_error(error->localizedDescription()), error_(std::move(error)) {}
    const ErrorPtr& error() const { return error_; }

  private:
    ErrorPtr error_;
};

// Files and directories on the local file system. Operations that can fail in a way a caller
// reports return an error (nullptr on success) or take an optional `ErrorPtr* error` that is
// set on failure. Errors have the domain kFileErrorDomain, errno as the code, a readable
// description ("Cannot create directory /x/y: Not a directory") and the path under
// kFilePathErrorKey.
class FileHelpers {
  public:
    static constexpr const char* kFileErrorDomain = "FileHelpers";
    static constexpr const char* kFilePathErrorKey = "NSFilePath";

    // An error of this class's domain for a failed `operation` ("Cannot read file") on `path`.
    static ErrorPtr makeError(int errnum, const std::string& operation, const std::string& path);

    // Whether anything exists at the path (symbolic links are followed).
    static bool exists(const std::string& path);
    // Whether the path names something that is not a directory (a regular file, a device...).
    static bool fileExists(const std::string& path);
    static bool regularFileExists(const std::string& path);
    static bool directoryExists(const std::string& path);

    // Creates the directory and any missing parents (`mode` before the umask). An existing
    // directory is success; a non-directory anywhere on the way is an error (ENOTDIR / EEXIST).
    // Application data is private to its owner: directories 0700, files 0600 by default.
    static ErrorPtr createDirectory(const std::string& path, mode_t mode = 0700);
    // Creates an empty file unless something already exists there.
    static ErrorPtr createFileIfMissing(const std::string& path, mode_t mode = 0600);

    // Removes a file (or symbolic link). A missing file is an error (ENOENT).
    static ErrorPtr deleteFile(const std::string& path);
    // Removes a directory with everything below it; symbolic links inside are removed, never
    // followed. A missing directory is an error (ENOENT).
    static ErrorPtr deleteDirectory(const std::string& path);
    // rename(2): replaces an existing file at the destination.
    static ErrorPtr moveItem(const std::string& from, const std::string& to);
    // Asks the kernel to drop the file's pages from its cache (the file itself is untouched);
    // nothing happens when it cannot be opened.
    static void releaseCachedPages(const std::string& path);

    // Size in bytes of the file at the path; none when it cannot be examined.
    static std::optional<std::int64_t> fileSize(const std::string& path, ErrorPtr* error = nullptr);
    static std::optional<FileTimestamp> modificationDate(const std::string& path,
                                                         ErrorPtr* error = nullptr);
    static ErrorPtr setModificationDate(const std::string& path, FileTimestamp time);
    // The stamp of the file the path leads to (symbolic links are followed).
    static std::optional<FileStamp> stamp(const std::string& path, ErrorPtr* error = nullptr);
    // The absolute path with symbolic links, "." and ".." resolved; for a path that does not
    // resolve (a missing file), the absolute path, lexically normalised.
    static std::string canonicalPath(const std::string& path);

    // Names (not paths) of the entries of a directory that match an fnmatch(3) pattern such as
    // "inventory-*.json" ("*" matches every entry, dot files included), sorted by name.
    // "." and ".." are never listed. Empty with the error set when the directory cannot be read.
    static std::vector<std::string> listDirectory(const std::string& directory,
                                                  const std::string& pattern = "*",
                                                  ErrorPtr* error = nullptr);

    // Walks a directory tree depth first, parents before their contents, entries of one
    // directory sorted by name. The visitor receives each entry's path relative to `directory`
    // and whether it is a directory (symbolic links are reported, not followed); returning
    // false stops the walk. An unreadable directory on the way ends the walk with an error.
    using TreeVisitor = std::function<bool(const std::string& relativePath, bool isDirectory)>;
    static ErrorPtr enumerateTree(const std::string& directory, const TreeVisitor& visitor);

    // The whole content of a file.
    static std::optional<std::string> readFile(const std::string& path, ErrorPtr* error = nullptr);
    // Reads a regular file of at most `maxBytes`: none, with the error set, for anything else
    // (a FIFO is not waited on, a device such as /dev/zero is not read, a larger file is
    // refused).
    static std::optional<std::string> readSmallFile(const std::string& path, std::size_t maxBytes,
                                                    ErrorPtr* error = nullptr);
    // Creates or truncates the file and writes the content.
    static ErrorPtr writeFile(const std::string& path, std::string_view content,
                              mode_t mode = 0600);
    // Writes a temporary file beside `path` (created with mode 0600, then given `mode`),
    // flushes it to disk and renames it over `path`: readers see the old or the new content,
    // never a part of it.
    static ErrorPtr writeFileAtomically(const std::string& path, std::string_view content,
                                        mode_t mode = 0600);

    // The system's temporary directory: $TMPDIR when set, else "/tmp".
    static std::string temporaryDirectory();
    // Creates a new, empty file with a unique name ending in "." + `extension` (no dot when the
    // extension is empty) in `directory`, or in the temporary directory when that is empty, and
    // returns its path. The caller deletes it after use.
    static std::optional<std::string> createTemporaryFile(std::string_view extension = "tmp",
                                                          const std::string& directory = "",
                                                          ErrorPtr* error = nullptr);
};

}  // namespace quillon
