// GlacierManager: wrapping requests in operations. Threads: as in GlacierManager.h.
#include "interfaces/http/GlacierManager.h"

#include <utility>

#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

RequestOperation::Ptr GlacierManager::HTTPRequestOperationWithRequest(
    URLRequest request, RequestOperation::SuccessHandler success,
    RequestOperation::FailureHandler failure) const {
    return RequestOperation::create(std::move(request), std::move(success), std::move(failure));
}

}  // namespace quillon
