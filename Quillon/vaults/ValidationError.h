// ValidationError: a failed local check, thrown as a platform error.
// Threads: an immutable value; safe from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "foundation/Error.h"

namespace quillon {

// A local check that failed, thrown as a platform error of the domain "Frostvale" with a code of
// its own (vault names: 1 too long, 2 invalid characters).
class ValidationError : public std::exception {
  public:
    ValidationError(std::int64_t code, const std::string& localizedDescription);

    const Error& error() const { return *error_; }
    const ErrorPtr& errorPtr() const { return error_; }
    std::int64_t code() const { return error_->code(); }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    ErrorPtr error_;
    std::string description_;
};

}  // namespace quillon
