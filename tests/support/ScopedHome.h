// Sets an environment variable for the lifetime of the object and restores its previous value
// (or its absence) afterwards; ScopedHome does so for the application directory
// ($QUILLON_HOME). Only for the test's own thread, while no other thread reads the environment.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace quillon::testing {

class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            previous_ = old;
        }
        setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (previous_) {
            setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

class ScopedHome : public ScopedEnv {
  public:
    explicit ScopedHome(const std::string& path) : ScopedEnv("QUILLON_HOME", path) {}
};

}  // namespace quillon::testing
