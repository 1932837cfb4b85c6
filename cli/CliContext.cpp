#include "CliContext.h"

#include "CliExit.h"

namespace quillon::cli {

CliContext::CliContext(std::ostream& out, std::ostream& err) : output_(options_, out, err) {}

void CliContext::fail(const Error& error) const {
    throw CliExit(CliExit::kFailure, error.localizedDescription());
}

void CliContext::fail(const ErrorPtr& error) const {
    if (!error) {
        fail(std::string("unknown error"));
    }
    fail(*error);
}

void CliContext::fail(const std::string& message) const {
    throw CliExit(CliExit::kFailure, message);
}

void CliContext::usageError(const std::string& message) const {
    throw CliExit(CliExit::kUsage, message);
}

}  // namespace quillon::cli
