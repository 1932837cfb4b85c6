// ApiPath, AnswerShape, ApiRequest: paths with checked names and ids, and answer shapes.
// Threads: as in ApiRequest.h.
#include "accounts/ApiRequest.h"

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/RetryPolicy.h"
#include "interfaces/http/SigV4Signer.h"
#include "vaults/ValidationError.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

// The error code of a refused id, next to the vault-name codes 1 and 2.
constexpr std::int64_t kInvalidIdCode = 3;

bool allowedInId(unsigned char c) {
    return c > 0x20 && c != 0x7f && c != '/' && c != '?' && c != '#' && c != '%' && c != '\\';
}

ErrorPtr idRefusal(const std::string& value) {
    bool valid = !value.empty() && value != "." && value != "..";
    for (unsigned char c : value) {
        valid = valid && allowedInId(c);
    }
    if (valid) {
        return nullptr;
    }
    return std::make_shared<const Error>(
        ModelError::kDomain, kInvalidIdCode,
        UserInfo{{kLocalizedDescriptionKey, Localization::format("error.invalid_id", {value})}});
}

ErrorPtr vaultNameRefusal(const std::string& name) {
    try {
        Vault::validateName(name);
    } catch (const ValidationError& error) {
        return error.errorPtr();
    }
    // The name rules admit "." and "..", which would name the parent of a path.
    if (name == "." || name == "..") {
        return ValidationError(2, Localization::string("error.vault_name_has_invalid_chars"))
            .errorPtr();
    }
    return nullptr;
}

}  // namespace

ApiPath ApiPath::account() {
    return ApiPath().word("-");
}

ApiPath ApiPath::word(std::string_view words) const {
    ApiPath path = *this;
    path.encoded_ += '/';
    path.encoded_ += SigV4Signer::uriEncode(words, true);
    return path;
}

ApiPath ApiPath::vault(const std::string& name) const {
    return word("vaults").segment(name, vaultNameRefusal(name));
}

ApiPath ApiPath::id(const std::string& value) const {
    return segment(value, idRefusal(value));
}

ApiPath ApiPath::segment(const std::string& text, ErrorPtr refusal) const {
    ApiPath path = *this;
    if (!path.error_) {
        path.error_ = std::move(refusal);
    }
    path.encoded_ += '/';
    path.encoded_ += SigV4Signer::uriEncode(text);
    return path;
}

std::string ApiPath::urlWith(const std::string& baseURL) const {
    std::string url = baseURL;
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return url + (encoded_.empty() ? "/" : encoded_);
}

AnswerShape AnswerShape::page(std::string list) {
    AnswerShape shape;
    shape.rules_.push_back({"/" + std::move(list), Kind::Array});
    shape.rules_.push_back({"/Marker", Kind::OptionalString});
    return shape;
}

AnswerShape AnswerShape::string(std::string member) const {
    return with({std::move(member), Kind::String});
}

AnswerShape AnswerShape::objectMember(std::string member) const {
    return with({std::move(member), Kind::Object});
}

AnswerShape AnswerShape::array(std::string member) const {
    return with({std::move(member), Kind::Array});
}

AnswerShape AnswerShape::with(Rule rule) const {
    AnswerShape shape = *this;
    shape.rules_.push_back(std::move(rule));
    return shape;
}

bool AnswerShape::matches(const JSON& answer) const {
    const JSON::Value& root = answer.value();
    if (!root.is_object()) {
        return false;
    }
    for (const Rule& rule : rules_) {
        const JSON::Value::json_pointer pointer(rule.pointer);
        const bool present = root.contains(pointer);
        const JSON::Value* member = present ? &root.at(pointer) : nullptr;
        switch (rule.kind) {
            case Kind::OptionalString:
                if (member && !member->is_null() && !member->is_string()) {
                    return false;
                }
                break;
            case Kind::String:
                if (!member || !member->is_string()) {
                    return false;
                }
                break;
            case Kind::Object:
                if (!member || !member->is_object()) {
                    return false;
                }
                break;
            case Kind::Array:
                if (!member || !member->is_array()) {
                    return false;
                }
                break;
        }
    }
    return true;
}

std::optional<JSON> ApiRequest::pageParameters(std::int64_t limit, const std::string& marker) {
    if (limit == 0 && marker.empty()) {
        return std::nullopt;
    }
    JSON::Value parameters = JSON::Value::object();
    if (!marker.empty()) {
        parameters["marker"] = marker;
    }
    if (limit != 0) {
        parameters["limit"] = std::to_string(limit);
    }
    return JSON(parameters);
}

std::optional<std::string> ApiRequest::transientReason(const Error& error) {
    return RetryPolicy::transientReason(error);
}

}  // namespace quillon
