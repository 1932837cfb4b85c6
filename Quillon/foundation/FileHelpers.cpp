// FileHelpers: the POSIX calls behind the file operations and their errors. Threads: as in
// FileHelpers.h.
#include "foundation/FileHelpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/PathComponents.h"
#include "interfaces/files/FileDescriptor.h"

namespace quillon {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::optional<struct stat> statOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

void setError(ErrorPtr* error, ErrorPtr value) {
    if (error != nullptr) {
        *error = std::move(value);
    }
}

// Names of a directory's entries without "." and "..", sorted; errno is kept on failure.
std::optional<std::vector<std::string>> entryNames(const std::string& directory) {
    DirHandle dir(opendir(directory.c_str()));
    if (!dir) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Walks one directory level; false when the visitor asked to stop or an error was recorded.
bool walk(const std::string& root, const std::string& relative,
          const FileHelpers::TreeVisitor& visitor, ErrorPtr& error) {
    const std::string directory = relative.empty() ? root : root + "/" + relative;
    const auto names = entryNames(directory);
    if (!names) {
        error = FileHelpers::makeError(errno, "Cannot read directory", directory);
        return false;
    }
    for (const auto& name : *names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        struct stat st {};
        const bool isDirectory =
            ::lstat((root + "/" + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (!visitor(child, isDirectory)) {
            return false;
        }
        if (isDirectory && !walk(root, child, visitor, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

ErrorPtr FileHelpers::makeError(int errnum, const std::string& operation, const std::string& path) {
    UserInfo info;
    info[kLocalizedDescriptionKey] = operation + " " + path + ": " + std::strerror(errnum);
    info[kFilePathErrorKey] = path;
    return std::make_shared<Error>(kFileErrorDomain, errnum, std::move(info));
}

bool FileHelpers::exists(const std::string& path) {
    return statOf(path).has_value();
}

bool FileHelpers::fileExists(const std::string& path) {
    const auto st = statOf(path);
    return st && !S_ISDIR(st->st_mode);
}

bool FileHelpers::regularFileExists(const std::string& path) {
    const auto st = statOf(path);
    return st && S_ISREG(st->st_mode);
}

bool FileHelpers::directoryExists(const std::string& path) {
    const auto st = statOf(path);
    return st && S_ISDIR(st->st_mode);
}

ErrorPtr FileHelpers::createDirectory(const std::string& path, mode_t mode) {
    if (path.empty()) {
        return makeError(ENOENT, "Cannot create directory", path);
    }
    const std::string target = appendingPathComponent(path, "");
    std::string current;
    for (const auto& component : pathComponents(path)) {
        current = current.empty() ? component : appendingPathComponent(current, component);
        if (component == "/") {
            continue;
        }
        if (::mkdir(current.c_str(), mode) == 0) {
            continue;
        }
        const int err = errno;
        if (err == EEXIST) {
            if (directoryExists(current)) {
                continue;
            }
            return makeError(current == target ? EEXIST : ENOTDIR, "Cannot create directory", path);
        }
        return makeError(err, "Cannot create directory", path);
    }
    return nullptr;
}

ErrorPtr FileHelpers::createFileIfMissing(const std::string& path, mode_t mode) {
    if (exists(path)) {
        return nullptr;
    }
    FileDescriptor fd = FileDescriptor::open(path, O_WRONLY | O_CREAT, mode);
    if (!fd) {
        return makeError(errno, "Cannot create file", path);
    }
    return nullptr;
}

ErrorPtr FileHelpers::deleteFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        return makeError(errno, "Cannot delete file", path);
    }
    return nullptr;
}

void FileHelpers::releaseCachedPages(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() >= 0) {
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
}

ErrorPtr FileHelpers::deleteDirectory(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return makeError(errno, "Cannot delete directory", path);
    }
    if (!S_ISDIR(st.st_mode)) {
        return makeError(ENOTDIR, "Cannot delete directory", path);
    }
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) {
        return makeError(ec.value(), "Cannot delete directory", path);
    }
    return nullptr;
}

ErrorPtr FileHelpers::moveItem(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        return makeError(errno, "Cannot move " + from + " to", to);
    }
    return nullptr;
}

std::optional<std::int64_t> FileHelpers::fileSize(const std::string& path, ErrorPtr* error) {
    const auto st = statOf(path);
    if (!st) {
        setError(error, makeError(errno, "Cannot read attributes of", path));
        return std::nullopt;
    }
    return static_cast<std::int64_t>(st->st_size);
}

std::optional<FileTimestamp> FileHelpers::modificationDate(const std::string& path,
                                                           ErrorPtr* error) {
    const auto st = statOf(path);
    if (!st) {
        setError(error, makeError(errno, "Cannot read attributes of", path));
        return std::nullopt;
    }
    return FileTimestamp{static_cast<std::int64_t>(st->st_mtim.tv_sec),
                         static_cast<std::int64_t>(st->st_mtim.tv_nsec)};
}

std::optional<FileStamp> FileHelpers::stamp(const std::string& path, ErrorPtr* error) {
    const auto st = statOf(path);
    if (!st) {
        setError(error, makeError(errno, "Cannot read attributes of", path));
        return std::nullopt;
    }
    return FileStamp{static_cast<std::int64_t>(st->st_size),
                     {static_cast<std::int64_t>(st->st_mtim.tv_sec),
                      static_cast<std::int64_t>(st->st_mtim.tv_nsec)},
                     {static_cast<std::int64_t>(st->st_ctim.tv_sec),
                      static_cast<std::int64_t>(st->st_ctim.tv_nsec)},
                     static_cast<std::uint64_t>(st->st_ino),
                     static_cast<std::uint64_t>(st->st_dev)};
}

std::string FileHelpers::canonicalPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::canonical(path, ec);
    if (!ec) {
        return resolved.string();
    }
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

ErrorPtr FileHelpers::setModificationDate(const std::string& path, FileTimestamp time) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(time.seconds);
    times[1].tv_nsec = static_cast<long>(time.nanoseconds);
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        return makeError(errno, "Cannot set the modification date of", path);
    }
    return nullptr;
}

std::vector<std::string> FileHelpers::listDirectory(const std::string& directory,
                                                    const std::string& pattern, ErrorPtr* error) {
    auto names = entryNames(directory);
    if (!names) {
        setError(error, makeError(errno, "Cannot read directory", directory));
        return {};
    }
    std::erase_if(*names, [&](const std::string& name) {
        return fnmatch(pattern.c_str(), name.c_str(), 0) != 0;
    });
    return std::move(*names);
}

ErrorPtr FileHelpers::enumerateTree(const std::string& directory, const TreeVisitor& visitor) {
    ErrorPtr error;
    walk(directory, "", visitor, error);
    return error;
}

std::optional<std::string> FileHelpers::readFile(const std::string& path, ErrorPtr* error) {
    FileDescriptor fd = FileDescriptor::open(path, O_RDONLY);
    if (!fd) {
        setError(error, makeError(errno, "Cannot read file", path));
        return std::nullopt;
    }
    std::string content;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        content.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buffer[65536];
    for (;;) {
        const std::int64_t n = fd.readFully(buffer, sizeof buffer);
        if (n < 0) {
            setError(error, makeError(errno, "Cannot read file", path));
            return std::nullopt;
        }
        content.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof buffer) {
            break;
        }
    }
    return content;
}

std::optional<std::string> FileHelpers::readSmallFile(const std::string& path, std::size_t maxBytes,
                                                      ErrorPtr* error) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    FileDescriptor fd = FileDescriptor::open(path, O_RDONLY | O_NONBLOCK);
    if (!fd) {
        setError(error, makeError(errno, "Cannot read file", path));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        UserInfo info;
        info[kLocalizedDescriptionKey] = "Cannot read file " + path + ": not a regular file";
        info[kFilePathErrorKey] = path;
        setError(error, std::make_shared<Error>(kFileErrorDomain, EINVAL, std::move(info)));
        return std::nullopt;
    }
    std::string content(maxBytes + 1, '\0');
    const std::int64_t n = fd.readFully(content.data(), content.size());
    if (n < 0) {
        setError(error, makeError(errno, "Cannot read file", path));
        return std::nullopt;
    }
    if (static_cast<std::size_t>(n) > maxBytes) {
        UserInfo info;
        info[kLocalizedDescriptionKey] =
            "Cannot read file " + path + ": larger than " + std::to_string(maxBytes) + " bytes";
        info[kFilePathErrorKey] = path;
        setError(error, std::make_shared<Error>(kFileErrorDomain, EFBIG, std::move(info)));
        return std::nullopt;
    }
    content.resize(static_cast<std::size_t>(n));
    return content;
}

ErrorPtr FileHelpers::writeFile(const std::string& path, std::string_view content, mode_t mode) {
    FileDescriptor fd = FileDescriptor::open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (!fd) {
        return makeError(errno, "Cannot write file", path);
    }
    if (!fd.writeFully(content.data(), content.size()) || !fd.reset()) {
        return makeError(errno, "Cannot write file", path);
    }
    return nullptr;
}

ErrorPtr FileHelpers::writeFileAtomically(const std::string& path, std::string_view content,
                                          mode_t mode) {
    std::string directory = deletingLastPathComponent(path);
    if (directory.empty()) {
        directory = ".";
    }
    std::string temp = appendingPathComponent(directory, "." + lastPathComponent(path) + ".XXXXXX");
    // mkstemp creates the file with mode 0600, so the content is never exposed more widely
    // than `mode` allows.
    FileDescriptor fd(::mkstemp(temp.data()));
    if (!fd) {
        return makeError(errno, "Cannot write file", path);
    }
    const bool written = ::fchmod(fd.get(), mode) == 0 &&
                         fd.writeFully(content.data(), content.size()) && ::fsync(fd.get()) == 0 &&
                         fd.reset() && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!written) {
        const int err = errno;
        fd.reset();
        ::unlink(temp.c_str());
        return makeError(err, "Cannot write file", path);
    }
    // Make the rename itself durable; a failure here leaves a correct file behind.
    if (FileDescriptor dir = FileDescriptor::open(directory, O_RDONLY | O_DIRECTORY)) {
        ::fsync(dir.get());
    }
    return nullptr;
}

std::string FileHelpers::temporaryDirectory() {
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
        return tmp;
    }
    return "/tmp";
}

std::optional<std::string> FileHelpers::createTemporaryFile(std::string_view extension,
                                                            const std::string& directory,
                                                            ErrorPtr* error) {
    const std::string base = directory.empty() ? temporaryDirectory() : directory;
    const std::string suffix = extension.empty() ? "" : "." + std::string(extension);
    std::string path = appendingPathComponent(base, "quillon-XXXXXX" + suffix);
    FileDescriptor fd(::mkstemps(path.data(), static_cast<int>(suffix.size())));
    if (!fd) {
        setError(error, makeError(errno, "Cannot create a temporary file in", base));
        return std::nullopt;
    }
    return path;
}

}  // namespace quillon
