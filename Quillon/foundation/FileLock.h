// FileLock: the cross-process writer lock on a lock file (flock). Threads: one thread at a time
// per object; lock() blocks the caller (see the class comment).
#pragma once

#include <string>

#include "foundation/Error.h"
#include "interfaces/files/FileDescriptor.h"

namespace quillon {

// One writer at a time across processes: an exclusive flock(2) on a lock file, held from a
// successful lock() or tryLock() until unlock() or the object goes away. The lock file (and its
// directory) is created when missing, mode 0600, and is never removed, so every process locks
// the same file. The lock belongs to the open file, so two objects conflict even within one
// process, and a holder that dies (kill -9 included) releases it at once. Readers of what the
// lock guards never take it.
//
// Thread rules: an object is used by one thread at a time; lock() blocks the calling thread.
class FileLock {
  public:
    explicit FileLock(std::string path);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock without waiting: false when another holder has it, or on an error (then
    // error() says why).
    bool tryLock();
    // Waits until the lock is free and takes it; false only on an error.
    bool lock();
    void unlock();

    bool held() const { return held_; }
    const std::string& path() const { return path_; }
    const ErrorPtr& error() const { return error_; }

  private:
    bool acquire(bool wait);

    std::string path_;
    FileDescriptor fd_;
    bool held_ = false;
    ErrorPtr error_;
};

}  // namespace quillon
