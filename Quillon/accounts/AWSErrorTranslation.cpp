// AWSErrorTranslation: decoding and translating error bodies. Threads: as in
// AWSErrorTranslation.h.
#include "accounts/AWSErrorTranslation.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "accounts/Region.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/RetryPolicy.h"
#include "interfaces/http/SigningClock.h"

namespace quillon {

std::optional<AWSException> decodeAWSExceptionJSON(const Bytes& data) {
    JSON json = JSON::parse(data);
    auto code = json["code"].string();
    if (!code) {
        return std::nullopt;
    }
    return AWSException{*code, json["type"].stringValue(), json["message"].stringValue()};
}

std::optional<AWSException> awsException(const Error& error) {
    auto data = error.bytesForKey(kFailingURLResponseDataErrorKey);
    if (!data) {
        return std::nullopt;
    }
    return decodeAWSExceptionJSON(*data);
}

Error translateError(const Error& error, const RegionPtr& region) {
    std::string suffix = region ? " (" + region->id() + ")" : "";
    if (auto exception = awsException(error)) {
        std::string description = exception->code == "InvalidSignatureException"
                                      ? Localization::string("error.auth_failed")
                                      : exception->message;
        if (RetryPolicy::isClockSkew(error)) {
            const auto minutes = SigningClock::offset().count() / 60;
            description =
                "The clock of this computer is off" +
                (minutes != 0 ? " by about " + std::to_string(std::abs(minutes)) + " minutes"
                              : std::string()) +
                ": the service refused the request as signed at the wrong time (" +
                exception->message +
                "). Set the clock right, or let it synchronise, and try again.";
        }
        UserInfo info = error.userInfo();
        info[kLocalizedDescriptionKey] = description + suffix;
        info["awsExceptionCode"] = exception->code;
        info["awsExceptionType"] = exception->type;
        info["awsExceptionMessage"] = exception->message;
        return Error(error.domain(), error.code(), std::move(info));
    }
    auto response = error.responseForKey(kFailingURLResponseErrorKey);
    if (response && response->statusCode == 403) {
        UserInfo info = error.userInfo();
        info[kLocalizedDescriptionKey] = Localization::string("error.auth_failed") + suffix;
        return Error(error.domain(), error.code(), std::move(info));
    }
    return error;
}

}  // namespace quillon
