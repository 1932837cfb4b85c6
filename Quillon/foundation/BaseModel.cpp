// BaseModel: the errors in the domain "Frostvale". Threads: as in BaseModel.h.
#include "foundation/BaseModel.h"

#include <memory>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "foundation/ModelError.h"
#include "interfaces/base/Localization.h"

namespace quillon {

ErrorPtr BaseModel::invalidApiResponseError() {
    return std::make_shared<const Error>(
        ModelError::kDomain, 0,
        UserInfo{
            {kLocalizedDescriptionKey, Localization::string("modelerror.invalid_api_response")}});
}

ErrorPtr BaseModel::resourceNotFoundException() {
    return std::make_shared<const Error>(
        ModelError::kDomain, 404,
        UserInfo{{kLocalizedDescriptionKey,
                  Localization::string("modelerror.resourceNotFoundException")}});
}

ErrorPtr BaseModel::genericError(const std::string& message, ErrorPtr underlyingError) {
    UserInfo info{{kLocalizedDescriptionKey, message}};
    if (underlyingError) {
        info[kUnderlyingErrorKey] = std::move(underlyingError);
    } else {
        info[kUnderlyingErrorKey] = NullValue{};
    }
    return std::make_shared<const Error>(ModelError::kDomain, 0, std::move(info));
}

ErrorPtr BaseModel::noFileAccessError(const std::string& message) {
    return std::make_shared<const Error>(ModelError::kDomain, 10,
                                         UserInfo{{kLocalizedDescriptionKey, message}});
}

}  // namespace quillon
