// ModelError: the model layer's own failures, thrown and handed on as platform errors.
// Threads: an immutable value once built; safe to copy and read from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "foundation/Error.h"

namespace quillon {

// The model layer's own failures. Thrown by local validation and handed to completions as a
// platform error (toError) in the domain "Frostvale" with code 1.
class ModelError : public std::exception {
  public:
    enum class Case {
        duplicateName,
        attributeEmpty,
        regionNotDeleteable,
        importDataARNMismatch,
        invalidPartSize,
        fileNotReadable,
        dbWriteError,
        accountWithSameAccessKeyExists,
        secretKeyNotSet,
        duplicateInventoryRetrievalOperation,
        duplicateArchiveRetrievalOperation,
        duplicateUploadOperation,
        uploadFileEmpty,
        invalidFilename,
        archiveDescriptionTooLong,
        invalidImportData,
        fileModifiedDuringHashCalculation,
        invalidFileFormat,
        importCancelled,
        secretNotStored,
    };

    static constexpr const char* kDomain = "Frostvale";

    static ModelError duplicateName(std::string name);
    static ModelError attributeEmpty(std::string name);
    static ModelError regionNotDeleteable(std::string name);
    static ModelError importDataARNMismatch(std::string importFileARN, std::string expectedARN);
    static ModelError invalidPartSize(std::int64_t size);
    static ModelError fileNotReadable(ErrorPtr error = nullptr);
    static ModelError dbWriteError() { return ModelError(Case::dbWriteError); }
    static ModelError accountWithSameAccessKeyExists() {
        return ModelError(Case::accountWithSameAccessKeyExists);
    }
    static ModelError secretKeyNotSet() { return ModelError(Case::secretKeyNotSet); }
    // The same case, described by `reason` (which credentials file and profile lack what).
    static ModelError secretKeyNotSet(std::string reason);
    static ModelError duplicateInventoryRetrievalOperation() {
        return ModelError(Case::duplicateInventoryRetrievalOperation);
    }
    static ModelError duplicateArchiveRetrievalOperation() {
        return ModelError(Case::duplicateArchiveRetrievalOperation);
    }
    static ModelError duplicateUploadOperation() {
        return ModelError(Case::duplicateUploadOperation);
    }
    static ModelError uploadFileEmpty() { return ModelError(Case::uploadFileEmpty); }
    static ModelError invalidFilename() { return ModelError(Case::invalidFilename); }
    static ModelError archiveDescriptionTooLong() {
        return ModelError(Case::archiveDescriptionTooLong);
    }
    static ModelError invalidImportData() { return ModelError(Case::invalidImportData); }
    static ModelError fileModifiedDuringHashCalculation() {
        return ModelError(Case::fileModifiedDuringHashCalculation);
    }
    static ModelError invalidFileFormat() { return ModelError(Case::invalidFileFormat); }
    static ModelError importCancelled() { return ModelError(Case::importCancelled); }
    static ModelError secretNotStored() { return ModelError(Case::secretNotStored); }

    // Builds a case without associated values; cases with values use their own factory.
    explicit ModelError(Case value);

    Case caseValue() const { return case_; }
    // Associated values: `name` of the first three cases (and the reason of secretKeyNotSet), the
    // ARNs, the part size and the wrapped error of fileNotReadable; empty (0, null) for the other
    // cases.
    const std::string& name() const { return name_; }
    const std::string& importFileARN() const { return importFileARN_; }
    const std::string& expectedARN() const { return expectedARN_; }
    std::int64_t size() const { return size_; }

    // The localisation key of the case.
    const char* localizationKey() const;

    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    std::int64_t errorCode() const { return 1; }
    ErrorPtr underlyingError() const { return error_; }
    bool canAutoRetry() const { return case_ == Case::fileNotReadable; }

    // Underlying error (the null value when none), localised description and "canAutoRetry".
    UserInfo errorUserInfo() const;
    Error toError() const;
    ErrorPtr toErrorPtr() const { return std::make_shared<const Error>(toError()); }

    bool operator==(const ModelError& other) const;

  private:
    std::string makeDescription() const;

    Case case_;
    std::string name_;
    std::string importFileARN_;
    std::string expectedARN_;
    std::int64_t size_ = 0;
    ErrorPtr error_;
    std::string description_;
};

}  // namespace quillon
