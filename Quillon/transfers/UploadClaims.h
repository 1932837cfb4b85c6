// UploadClaims: which upload run is sending which file of a vault, across processes. Runs that
// overlap (two uploads of the same tree, or of a tree and a file in it) claim each file before
// they look it up in the journal and send it, and hold the claim until the archive is
// journalled, so a second run finds the file stored instead of sending it again. A claim is an
// open-file-description lock (F_OFD_SETLK) on one byte of the vault's "claims.lock", chosen by
// the archive description; two descriptions that meet on one byte only wait for each other. A
// holder that dies releases its claims at once.
// Threads: one object per run, used on its main thread; a Claim belongs to that thread too.
#pragma once

#include <string>

#include "interfaces/files/FileDescriptor.h"

namespace quillon {

class UploadClaims {
  public:
    // A held claim; released when it goes away.
    class Claim {
      public:
        Claim() = default;
        Claim(int fd, long long offset) : fd_(fd), offset_(offset) {}
        Claim(Claim&& other) noexcept : fd_(other.fd_), offset_(other.offset_) { other.fd_ = -1; }
        Claim& operator=(Claim&& other) noexcept;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        ~Claim() { release(); }

        bool held() const { return fd_ >= 0; }
        void release();

      private:
        int fd_ = -1;
        long long offset_ = 0;
    };

    // Claims in "claims.lock" of `vaultDirectory`; throws std::runtime_error when it cannot be
    // opened.
    explicit UploadClaims(const std::string& vaultDirectory);

    // Takes the claim on `description`. When another run holds it: with `wait`, waits for it;
    // without, answers a claim that is not held. Throws
    // std::runtime_error when the lock cannot be taken for another reason.
    Claim claim(const std::string& description, bool wait);

  private:
    FileDescriptor fd_;
};

}  // namespace quillon
