#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace quillon::testing {

// Points the application directory ($QUILLON_HOME) at a path for the lifetime of the object
// and restores the previous value afterwards.
class ScopedHome {
  public:
    explicit ScopedHome(const std::string& path) {
        if (const char* old = std::getenv("QUILLON_HOME")) {
            previous_ = old;
        }
        setenv("QUILLON_HOME", path.c_str(), 1);
    }
    ~ScopedHome() {
        if (previous_) {
            setenv("QUILLON_HOME", previous_->c_str(), 1);
        } else {
            unsetenv("QUILLON_HOME");
        }
    }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

  private:
    std::optional<std::string> previous_;
};

}  // namespace quillon::testing
