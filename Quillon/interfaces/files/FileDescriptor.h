// FileDescriptor: an owned POSIX file descriptor with EINTR-safe full reads and writes.
// Threads: not synchronised; one owner. Reads at an offset (pread) on one shared descriptor
//   may run on several threads at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

// An open file descriptor, closed when the object goes away.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // open(2) with O_CLOEXEC added; an invalid descriptor (errno set) on failure.
    static FileDescriptor open(const std::string& path, int flags, mode_t mode = 0);

    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int get() const { return fd_; }
    int release();
    // Closes the descriptor now; false (errno set) when close(2) reported an error.
    bool reset();

    // Reads until `size` bytes are in `buffer` or the end of the file is reached, retrying
    // interrupted and short reads. Returns the bytes read, or -1 (errno set) on failure.
    std::int64_t readFully(void* buffer, std::size_t size) const;
    // The same at an absolute offset, without moving the file position.
    std::int64_t readFullyAt(void* buffer, std::size_t size, std::int64_t offset) const;
    // Writes all of `size` bytes; false (errno set) on failure.
    bool writeFully(const void* data, std::size_t size) const;
    // The same at an absolute offset, without moving the file position. A write cut short (a
    // disk that fills) is continued, so that errno names the reason.
    bool writeFullyAt(const void* data, std::size_t size, std::int64_t offset) const;

  private:
    int fd_ = -1;
};

}  // namespace quillon
