// A small disk for tests of a disk that fills: a tmpfs of a given size mounted on a new folder
// for as long as the object lives (tests run as root). Belongs to the thread that made it.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace quillon::testing {

class SmallDisk {
  public:
    // Mounts a tmpfs of `size` ("4m") on `path`, which is made; see mounted().
    SmallDisk(std::string path, const std::string& size) : path_(std::move(path)) {
        std::filesystem::create_directories(path_);
        const std::string options = "size=" + size;
        if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            failure_ = std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (failure_.empty()) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return failure_.empty(); }
    // Why it could not be mounted.
    const std::string& failure() const { return failure_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string failure_;
};

}  // namespace quillon::testing
