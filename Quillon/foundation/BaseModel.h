// BaseModel: factories of the platform errors remote operations report.
// Threads: no shared state; safe from any thread.
#pragma once

#include <string>

#include "foundation/Error.h"

namespace quillon {

// Factories of the platform errors that remote operations report, all in the domain
// "Frostvale".
class BaseModel {
  public:
    BaseModel() = delete;

    // Code 0, the text of "modelerror.invalid_api_response".
    static ErrorPtr invalidApiResponseError();
    // Code 404, the text of "modelerror.resourceNotFoundException".
    static ErrorPtr resourceNotFoundException();
    // Code 0; the message is used as it is (callers pass localised texts). The underlying-error
    // entry is always present, the null value when there is none.
    static ErrorPtr genericError(const std::string& message, ErrorPtr underlyingError = nullptr);
    // Code 10.
    static ErrorPtr noFileAccessError(const std::string& message);
};

}  // namespace quillon
