// ValidationError: its platform error. Threads: as in ValidationError.h.
#include "vaults/ValidationError.h"

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/Error.h"
#include "foundation/ModelError.h"

namespace quillon {

ValidationError::ValidationError(std::int64_t code, const std::string& localizedDescription)
    : error_(std::make_shared<const Error>(
          ModelError::kDomain, code, UserInfo{{kLocalizedDescriptionKey, localizedDescription}})),
      description_(localizedDescription) {}

}  // namespace quillon
