// ModelError: the cases' texts and their platform errors. Threads: as in ModelError.h.
#include "foundation/ModelError.h"

#include <cstdint>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "interfaces/base/Localization.h"

namespace quillon {

ModelError::ModelError(Case value) : case_(value) {
    description_ = makeDescription();
}

ModelError ModelError::duplicateName(std::string name) {
    ModelError e(Case::duplicateName);
    e.name_ = std::move(name);
    e.description_ = e.makeDescription();
    return e;
}

ModelError ModelError::attributeEmpty(std::string name) {
    ModelError e(Case::attributeEmpty);
    e.name_ = std::move(name);
    e.description_ = e.makeDescription();
    return e;
}

ModelError ModelError::regionNotDeleteable(std::string name) {
    ModelError e(Case::regionNotDeleteable);
    e.name_ = std::move(name);
    e.description_ = e.makeDescription();
    return e;
}

ModelError ModelError::importDataARNMismatch(std::string importFileARN, std::string expectedARN) {
    ModelError e(Case::importDataARNMismatch);
    e.importFileARN_ = std::move(importFileARN);
    e.expectedARN_ = std::move(expectedARN);
    e.description_ = e.makeDescription();
    return e;
}

ModelError ModelError::invalidPartSize(std::int64_t size) {
    ModelError e(Case::invalidPartSize);
    e.size_ = size;
    e.description_ = e.makeDescription();
    return e;
}

ModelError ModelError::secretKeyNotSet(std::string reason) {
    ModelError e(Case::secretKeyNotSet);
    e.name_ = std::move(reason);
    e.description_ = e.name_.empty() ? e.makeDescription() : e.name_;
    return e;
}

ModelError ModelError::fileNotReadable(ErrorPtr error) {
    ModelError e(Case::fileNotReadable);
    e.error_ = std::move(error);
    return e;
}

const char* ModelError::localizationKey() const {
    switch (case_) {
        case Case::duplicateName:
            return "modelerror.duplicate_name";
        case Case::attributeEmpty:
            return "modelerror.attribute_may_not_be_empty";
        case Case::regionNotDeleteable:
            return "modelerror.region_not_deleteable";
        case Case::importDataARNMismatch:
            return "modelerror.arn_mismatch";
        case Case::invalidPartSize:
            return "modelerror.invalid_part_size";
        case Case::fileNotReadable:
            return "modelerror.file_not_readable";
        case Case::dbWriteError:
            return "modelerror.internal_error_db";
        case Case::accountWithSameAccessKeyExists:
            return "modelerror.account_with_same_access_key_already_exists";
        case Case::secretKeyNotSet:
            return "modelerror.secret_key_not_set";
        case Case::duplicateInventoryRetrievalOperation:
            return "modelerror.duplicate_operation_inventory_retrieval";
        case Case::duplicateArchiveRetrievalOperation:
            return "modelerror.duplicate_operation_archive_retrieval";
        case Case::duplicateUploadOperation:
            return "modelerror.duplicate_operation_upload";
        case Case::uploadFileEmpty:
            return "modelerror.upload_file_may_not_be_empty";
        case Case::invalidFilename:
            return "modelerror.invalid_filename_encoding";
        case Case::archiveDescriptionTooLong:
            return "modelerror.invalid_filename_too_long";
        case Case::invalidImportData:
            return "modelerror.invalid_import_data";
        case Case::fileModifiedDuringHashCalculation:
            return "modelerror.file_modified_during_hash_compute";
        case Case::invalidFileFormat:
            return "modelerror.invalid_file_format";
        case Case::importCancelled:
            return "modelerror.import_cancelled";
        case Case::secretNotStored:
            return "modelerror.secret_not_stored";
    }
    return "";
}

std::string ModelError::makeDescription() const {
    const char* key = localizationKey();
    switch (case_) {
        case Case::duplicateName:
        case Case::attributeEmpty:
        case Case::regionNotDeleteable:
            return Localization::format(key, {name_});
        case Case::importDataARNMismatch:
            return Localization::format(key, {expectedARN_, importFileARN_});
        case Case::invalidPartSize:
            return Localization::format(key, {std::to_string(size_)});
        default:
            return Localization::string(key);
    }
}

UserInfo ModelError::errorUserInfo() const {
    UserInfo info;
    if (error_) {
        info[kUnderlyingErrorKey] = error_;
    } else {
        info[kUnderlyingErrorKey] = NullValue{};
    }
    info[kLocalizedDescriptionKey] = description_;
    info["canAutoRetry"] = canAutoRetry();
    return info;
}

Error ModelError::toError() const {
    return Error(kDomain, errorCode(), errorUserInfo());
}

bool ModelError::operator==(const ModelError& other) const {
    return case_ == other.case_ && name_ == other.name_ && importFileARN_ == other.importFileARN_ &&
           expectedARN_ == other.expectedARN_ && size_ == other.size_ && error_ == other.error_;
}

}  // namespace quillon
