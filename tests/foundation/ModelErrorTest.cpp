// Tests of ModelError: its cases as platform errors. Threads: run on the test's thread.
#include "foundation/ModelError.h"

#include <gtest/gtest.h>

#include <vector>

#include "foundation/BaseModel.h"
#include "interfaces/base/Localization.h"
#include "interfaces/text/Format.h"

namespace quillon {
namespace {

TEST(ModelErrorTest, EveryCaseBecomesAFrostvaleErrorWithCodeOneAndOnlyFileNotReadableRetries) {
    const std::vector<ModelError> cases = {ModelError::duplicateName("n"),
                                           ModelError::attributeEmpty("n"),
                                           ModelError::regionNotDeleteable("n"),
                                           ModelError::importDataARNMismatch("a", "b"),
                                           ModelError::invalidPartSize(5),
                                           ModelError::fileNotReadable(),
                                           ModelError::dbWriteError(),
                                           ModelError::accountWithSameAccessKeyExists(),
                                           ModelError::secretKeyNotSet(),
                                           ModelError::duplicateInventoryRetrievalOperation(),
                                           ModelError::duplicateArchiveRetrievalOperation(),
                                           ModelError::duplicateUploadOperation(),
                                           ModelError::uploadFileEmpty(),
                                           ModelError::invalidFilename(),
                                           ModelError::archiveDescriptionTooLong(),
                                           ModelError::invalidImportData(),
                                           ModelError::fileModifiedDuringHashCalculation(),
                                           ModelError::invalidFileFormat(),
                                           ModelError::importCancelled(),
                                           ModelError::secretNotStored()};
    ASSERT_EQ(cases.size(), 20u);
    for (const auto& e : cases) {
        SCOPED_TRACE(e.localizationKey());
        Error error = e.toError();
        EXPECT_EQ(error.domain(), "Frostvale");
        EXPECT_EQ(error.code(), 1);
        EXPECT_EQ(error.canAutoRetry(), e.caseValue() == ModelError::Case::fileNotReadable);
        EXPECT_EQ(error.localizedDescription(), e.description());
        EXPECT_TRUE(Localization::contains(e.localizationKey()));
        ASSERT_NE(error.find(kUnderlyingErrorKey), nullptr);
    }
    EXPECT_STREQ(ModelError::invalidFilename().localizationKey(),
                 "modelerror.invalid_filename_encoding");
    EXPECT_STREQ(ModelError::archiveDescriptionTooLong().localizationKey(),
                 "modelerror.invalid_filename_too_long");
    auto e = ModelError::fileNotReadable();
    EXPECT_EQ(e.underlyingError(), nullptr);
    EXPECT_TRUE(e.canAutoRetry());
    auto info = e.errorUserInfo();
    EXPECT_TRUE(std::holds_alternative<NullValue>(info.at(kUnderlyingErrorKey)));
    EXPECT_EQ(std::get<bool>(info.at("canAutoRetry")), true);
    EXPECT_EQ(std::get<std::string>(info.at(kLocalizedDescriptionKey)),
              Localization::string("modelerror.file_not_readable"));
    auto cause = Error("NSPOSIXErrorDomain", 2).share();
    auto withCause = ModelError::fileNotReadable(cause);
    EXPECT_EQ(withCause.underlyingError(), cause);
    EXPECT_EQ(withCause.toError().errorForKey(kUnderlyingErrorKey), cause);
    EXPECT_FALSE(ModelError::dbWriteError().canAutoRetry());
    EXPECT_EQ(ModelError::dbWriteError().toError().canAutoRetry(), false);
}

TEST(ModelErrorTest, ArgumentsAreFormattedAndFactoriesBuildFrostvaleErrors) {
    auto e = ModelError::importDataARNMismatch("arn:file", "arn:expected");
    EXPECT_EQ(e.importFileARN(), "arn:file");
    EXPECT_EQ(e.expectedARN(), "arn:expected");
    EXPECT_EQ(e.description(),
              formatString(Localization::string("modelerror.arn_mismatch"),
                           {std::string("arn:expected"), std::string("arn:file")}));
    EXPECT_LT(e.description().find("arn:expected"), e.description().find("arn:file"));
    auto part = ModelError::invalidPartSize(5);
    EXPECT_EQ(part.size(), 5);
    EXPECT_EQ(part.description(), formatString(Localization::string("modelerror.invalid_part_size"),
                                               {std::string("5")}));
    EXPECT_NE(part.description().find(" 5 "), std::string::npos);
    try {
        throw ModelError::duplicateName("Backup");
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("Backup"), std::string::npos);
    }
    try {
        throw ModelError::attributeEmpty("accessKey");
    } catch (const ModelError& e) {
        EXPECT_EQ(e.caseValue(), ModelError::Case::attributeEmpty);
        EXPECT_EQ(e.name(), "accessKey");
        EXPECT_EQ(e, ModelError::attributeEmpty("accessKey"));
        EXPECT_FALSE(e == ModelError::attributeEmpty("name"));
    }
    auto invalid = BaseModel::invalidApiResponseError();
    EXPECT_EQ(invalid->domain(), "Frostvale");
    EXPECT_EQ(invalid->code(), 0);
    EXPECT_EQ(invalid->localizedDescription(),
              Localization::string("modelerror.invalid_api_response"));

    auto missing = BaseModel::resourceNotFoundException();
    EXPECT_EQ(missing->code(), 404);
    EXPECT_TRUE(missing->isResourceNotFoundExceptionErrorCode());
    EXPECT_FALSE(missing->isNoFileAccessError());

    auto generic = BaseModel::genericError("modelerror.not_a_lookup");
    EXPECT_EQ(generic->code(), 0);
    EXPECT_EQ(generic->localizedDescription(), "modelerror.not_a_lookup");
    ASSERT_NE(generic->find(kUnderlyingErrorKey), nullptr);
    EXPECT_TRUE(std::holds_alternative<NullValue>(*generic->find(kUnderlyingErrorKey)));
    EXPECT_EQ(generic->canAutoRetry(), std::nullopt);

    auto wrapped = BaseModel::genericError("m", invalid);
    EXPECT_EQ(wrapped->errorForKey(kUnderlyingErrorKey), invalid);

    auto noAccess = BaseModel::noFileAccessError("no access");
    EXPECT_EQ(noAccess->code(), 10);
    EXPECT_TRUE(noAccess->isNoFileAccessError());
    EXPECT_EQ(noAccess->localizedDescription(), "no access");
    EXPECT_TRUE(Error("SomeOtherDomain", 404).isResourceNotFoundExceptionErrorCode());
    EXPECT_TRUE(Error("SomeOtherDomain", 10).isNoFileAccessError());
    EXPECT_FALSE(Error("Frostvale", 403).isResourceNotFoundExceptionErrorCode());

    EXPECT_EQ(Error("D", 1, {{"canAutoRetry", std::string("true")}}).canAutoRetry(), std::nullopt);
    EXPECT_EQ(Error("D", 1, {{"canAutoRetry", std::int64_t{1}}}).canAutoRetry(), std::nullopt);
    EXPECT_EQ(Error("D", 1).canAutoRetry(), std::nullopt);
    EXPECT_EQ(Error("D", 1, {{"canAutoRetry", false}}).canAutoRetry(), false);
}

}  // namespace
}  // namespace quillon
