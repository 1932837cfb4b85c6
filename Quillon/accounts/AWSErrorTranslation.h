// AWSErrorTranslation: the service's error bodies read and turned into errors a user can read.
// Threads: no shared state; safe from any thread.
#pragma once

#include <optional>
#include <string>

#include "accounts/Region.h"
#include "foundation/Error.h"

namespace quillon {

// The three fields of a Glacier error body.
struct AWSException {
    std::string code;
    std::string type;
    std::string message;
    bool operator==(const AWSException&) const = default;
};

// Decodes a Glacier error body; none unless it is JSON whose "code" is a string.
std::optional<AWSException> decodeAWSExceptionJSON(const Bytes& data);
// The Glacier error carried in a failed request's body, if any.
std::optional<AWSException> awsException(const Error& error);

// Turns a failed request's error into one a user can read: the service's message (or the
// authentication text for a bad signature or a bare 403) followed by " (region id)", with the
// Glacier fields under "awsExceptionCode", "awsExceptionType" and "awsExceptionMessage". The
// domain and code stay those of the HTTP layer; an error with no Glacier body and no 403 is
// returned unchanged.
Error translateError(const Error& error, const RegionPtr& region);

}  // namespace quillon
