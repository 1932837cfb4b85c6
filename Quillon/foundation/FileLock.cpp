// FileLock: creating the lock file and taking and releasing flock. Threads: as in FileLock.h.
#include "foundation/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"
#include "interfaces/files/FileDescriptor.h"

namespace quillon {

FileLock::FileLock(std::string path) : path_(std::move(path)) {}

bool FileLock::tryLock() {
    return acquire(false);
}

bool FileLock::lock() {
    return acquire(true);
}

bool FileLock::acquire(bool wait) {
    if (held_) {
        return true;
    }
    error_.reset();
    if (!fd_) {
        const std::string directory = deletingLastPathComponent(path_);
        if (!directory.empty() && !FileHelpers::directoryExists(directory)) {
            if (ErrorPtr error = FileHelpers::createDirectory(directory)) {
                error_ = std::move(error);
                return false;
            }
        }
        fd_ = FileDescriptor::open(path_, O_RDWR | O_CREAT, 0600);
        if (!fd_) {
            error_ = FileHelpers::makeError(errno, "Cannot open the lock file", path_);
            return false;
        }
    }
    int result;
    do {
        result = ::flock(fd_.get(), LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno != EWOULDBLOCK) {
            error_ = FileHelpers::makeError(errno, "Cannot lock", path_);
        }
        return false;
    }
    held_ = true;
    return true;
}

void FileLock::unlock() {
    if (held_) {
        ::flock(fd_.get(), LOCK_UN);
        held_ = false;
    }
}

}  // namespace quillon
