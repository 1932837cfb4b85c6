// FileDescriptor: opening, closing and the retrying read and write loops. Threads: as in
// FileDescriptor.h.
#include "interfaces/files/FileDescriptor.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor FileDescriptor::open(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool FileDescriptor::reset() {
    if (fd_ < 0) {
        return true;
    }
    const int fd = release();
    // close(2) must not be retried on EINTR: the descriptor is gone either way.
    return ::close(fd) == 0 || errno == EINTR;
}

namespace {

// Repeats `step(done)`, which moves bytes from offset `done` on, until `size` bytes are done or
// a step moves none (the end of a read); -1 on an error other than an interruption.
template <typename Step>
std::int64_t moveUntilDone(std::size_t size, Step step) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

// Whether a write moved all of its `size` bytes; a write that took none (the file takes no
// more) fails with EIO.
bool wroteAll(std::int64_t done, std::size_t size) {
    if (done >= 0 && static_cast<std::size_t>(done) < size) {
        errno = EIO;
    }
    return done >= 0 && static_cast<std::size_t>(done) == size;
}

}  // namespace

std::int64_t FileDescriptor::readFully(void* buffer, std::size_t size) const {
    auto* out = static_cast<char*>(buffer);
    return moveUntilDone(size,
                         [&](std::size_t done) { return ::read(fd_, out + done, size - done); });
}

std::int64_t FileDescriptor::readFullyAt(void* buffer, std::size_t size,
                                         std::int64_t offset) const {
    auto* out = static_cast<char*>(buffer);
    return moveUntilDone(size, [&](std::size_t done) {
        return ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    });
}

bool FileDescriptor::writeFully(const void* data, std::size_t size) const {
    const auto* in = static_cast<const char*>(data);
    return wroteAll(
        moveUntilDone(size, [&](std::size_t done) { return ::write(fd_, in + done, size - done); }),
        size);
}

bool FileDescriptor::writeFullyAt(const void* data, std::size_t size, std::int64_t offset) const {
    const auto* in = static_cast<const char*>(data);
    return wroteAll(moveUntilDone(size,
                                  [&](std::size_t done) {
                                      return ::pwrite(fd_, in + done, size - done,
                                                      static_cast<off_t>(offset + done));
                                  }),
                    size);
}

}  // namespace quillon
