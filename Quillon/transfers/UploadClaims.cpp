// UploadClaims: one-byte OFD locks on the vault's claim file. Threads: as in UploadClaims.h.

#include "transfers/UploadClaims.h"

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "foundation/PathComponents.h"
#include "interfaces/files/FileDescriptor.h"
#include "interfaces/files/Sha256.h"

namespace quillon {

namespace {

// Bytes of the claim file that descriptions spread over (the file itself stays empty).
constexpr long long kClaimSlots = 1LL << 40;

bool setLock(int fd, short type, long long offset, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

UploadClaims::Claim& UploadClaims::Claim::operator=(Claim&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        offset_ = other.offset_;
        other.fd_ = -1;
    }
    return *this;
}

void UploadClaims::Claim::release() {
    if (fd_ >= 0) {
        setLock(fd_, F_UNLCK, offset_, false);
        fd_ = -1;
    }
}

UploadClaims::UploadClaims(const std::string& vaultDirectory)
    : fd_(FileDescriptor::open(appendingPathComponent(vaultDirectory, "claims.lock"),
                               O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (!fd_) {
        throw std::runtime_error("Cannot open the claims of " + vaultDirectory + ": " +
                                 std::strerror(errno));
    }
}

UploadClaims::Claim UploadClaims::claim(const std::string& description, bool wait) {
    Sha256Digest digest = Sha256::digest(description);
    long long offset = 0;
    for (int i = 0; i < 8; ++i) {
        offset = (offset << 8) | digest[static_cast<std::size_t>(i)];
    }
    offset = (offset & 0x7fffffffffffffffLL) % kClaimSlots;
    if (setLock(fd_.get(), F_WRLCK, offset, false)) {
        return {fd_.get(), offset};
    }
    if (errno == EAGAIN || errno == EACCES) {
        if (!wait) {
            return {};
        }
        if (setLock(fd_.get(), F_WRLCK, offset, true)) {
            return {fd_.get(), offset};
        }
    }
    throw std::runtime_error(std::string("Cannot claim the file for this run: ") +
                             std::strerror(errno));
}

}  // namespace quillon
