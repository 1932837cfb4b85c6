// Tests of Localization: every key in use has a text, and the table parses.
// Threads: run on the test's thread.
#include "interfaces/base/Localization.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace quillon {
namespace {

// The specifiers of a text in order: '@' for "%@", 'd' for "%d".
std::string specifiers(const std::string& text) {
    std::string kinds;
    // "%%" is a percent sign, not a specifier.
    for (auto i = text.find('%'); i < text.size() - 1; i = text.find('%', i + 2)) {
        if (text[i + 1] == '@' || text[i + 1] == 'd') {
            kinds += text[i + 1];
        }
    }
    return kinds;
}

// Every key the library looks up, each with the kinds of the arguments the code passes after
// its "|": '@' a text, 'd' a number.
const char* const kKeysInUse =
    "modelerror.duplicate_name|@ modelerror.attribute_may_not_be_empty|@ "
    "modelerror.region_not_deleteable|@ modelerror.arn_mismatch|@@ "
    "modelerror.invalid_part_size|@ modelerror.file_not_readable| "
    "modelerror.internal_error_db| modelerror.account_with_same_access_key_already_exists| "
    "modelerror.secret_key_not_set| modelerror.duplicate_operation_inventory_retrieval| "
    "modelerror.duplicate_operation_archive_retrieval| "
    "modelerror.duplicate_operation_upload| modelerror.upload_file_may_not_be_empty| "
    "modelerror.invalid_filename_encoding| modelerror.invalid_filename_too_long| "
    "modelerror.invalid_import_data| modelerror.file_modified_during_hash_compute| "
    "modelerror.invalid_file_format| modelerror.import_cancelled| "
    "modelerror.invalid_api_response| modelerror.resourceNotFoundException| "
    "modelerror.could_not_encode_archive_desc| modelerror.could_not_create_temp_file| "
    "modelerror.folder_with_same_name_already_exists| "
    "modelerror.vault_with_same_name_already_exists|@ error.auth_failed| "
    "error.loading_vaults|@ error.vault_name_too_long| error.vault_name_has_invalid_chars| "
    "filehasher_directory_too_many_files| drp.unknown| drp.free_tier_only| "
    "drp.max_retrieval_rate| drp.max_retrieval_rate_x|@ drp.no_retrieval_policy| "
    "account.all_standard_regions| account_description.loading|@ "
    "account_description.vaults_not_synchronized| account_description.one_region|@ "
    "%@_in_%d_archives|@d %d_vaults|d %d_regions|d %d_regions_selected|d %d_archives|d "
    "empty_vault| a_few_seconds| %d_minutes|d %d_hours|d bytes.%@_byte|@ bytes.%@_bytes|@ "
    "bytes.%@_KB|@ bytes.%@_MB|@ bytes.%@_GB|@ bytes.%@_TB|@ bytes.%@_PB|@ bytes.%@_EB|@";

TEST(LocalizationTest, EveryKeyInUseHasATextMissingKeysSingularTextsAndParsing) {
    std::istringstream uses(kKeysInUse);
    int count = 0;
    for (std::string use; uses >> use; ++count) {
        const std::string key = use.substr(0, use.find('|'));
        const std::string arguments = use.substr(use.find('|') + 1);
        SCOPED_TRACE(key);
        ASSERT_TRUE(Localization::contains(key));
        std::string text = Localization::string(key);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(specifiers(text), arguments);
        if (Localization::contains(key + ".one")) {
            EXPECT_EQ(specifiers(Localization::string(key + ".one")), arguments);
        }
    }
    EXPECT_EQ(count, 56);
    EXPECT_EQ(Localization::string("no.such_key"), "no.such_key");
    EXPECT_EQ(Localization::format("no_such_%@_key", {std::string("x")}), "no_such_x_key");
    EXPECT_EQ(Localization::format("%d_vaults", {std::int64_t{1}}), "1 vault");
    EXPECT_EQ(Localization::format("%d_vaults", {std::int64_t{0}}), "0 vaults");
    EXPECT_EQ(Localization::format("%d_vaults", {std::int64_t{11}}), "11 vaults");
    // The text argument "1" is not a count.
    EXPECT_EQ(Localization::format("%@_in_%d_archives", {std::string("1 KB"), std::int64_t{3}}),
              "1 KB in 3 archives");
    EXPECT_EQ(Localization::format("%@_in_%d_archives", {std::string("5 KB"), std::int64_t{1}}),
              "5 KB in 1 archive");
    auto table = Localization::parse(
        "/* block\n comment \"a\" = \"no\"; */\n"
        "// line comment \"b\" = \"no\";\n"
        "\"quote\" = \"say \\\"hi\\\"\";\n"
        "\"lines\"=\"one\\ntwo\\\\\";  \"tab\" = \"a\\tb\";\n"
        "\"broken\" = oops; \"after\" = \"ok; still\";\n"
        "\"dup\" = \"first\";\n\"dup\" = \"second\";\n"
        "\"unterminated\" = \"x");
    EXPECT_EQ(table.size(), 5u);
    EXPECT_EQ(table["quote"], "say \"hi\"");
    EXPECT_EQ(table["lines"], "one\ntwo\\");
    EXPECT_EQ(table["tab"], "a\tb");
    EXPECT_EQ(table["after"], "ok; still");
    EXPECT_EQ(table["dup"], "second");
    EXPECT_EQ(table.count("a"), 0u);
    EXPECT_EQ(table.count("broken"), 0u);
}

}  // namespace
}  // namespace quillon
