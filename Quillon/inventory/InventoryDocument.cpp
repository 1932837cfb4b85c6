// InventoryDocument: the streaming check of a document. Threads: as in InventoryDocument.h.
#include "inventory/InventoryDocument.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Support.h"
#include "interfaces/text/YAJLParser.h"
#include "inventory/InventoryImport.h"

namespace quillon {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Follows the nesting: the document object is level 1, the archive list level 2 and each
// archive level 3.
class DocumentShape : public YAJLParserDelegate {
  public:
    void parserDidStartDictionary() override {
        if (depth_ == 0) {
            topIsObject_ = true;
        }
        if (depth_ == 2 && inList_) {
            ++archives_;
        }
        ++depth_;
        key_.clear();
    }
    void parserDidEndDictionary() override { --depth_; }
    void parserDidStartArray() override {
        if (depth_ == 1 && key_ == "ArchiveList") {
            inList_ = true;
            hasList_ = true;
        }
        ++depth_;
    }
    void parserDidEndArray() override {
        --depth_;
        if (depth_ == 1) {
            inList_ = false;
        }
    }
    void parserDidMapKey(std::string_view key) override {
        if (depth_ == 1) {
            key_.assign(key);
        }
    }
    void parserDidAdd(const YAJLValue& value) override {
        if (depth_ != 1) {
            return;
        }
        if (key_ == "VaultARN") {
            vaultARN_.assign(value.text);
        } else if (key_ == "InventoryDate") {
            date_.assign(value.text);
        }
    }

    bool topIsObject_ = false;
    bool hasList_ = false;
    bool inList_ = false;
    int depth_ = 0;
    std::int64_t archives_ = 0;
    std::string key_;
    std::string vaultARN_;
    std::string date_;
};

}  // namespace

std::optional<InventoryDocument> InventoryDocument::read(const std::string& path,
                                                         std::string& problem) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = "Cannot read " + path + ": " + std::strerror(errno) + ".";
        return std::nullopt;
    }
    DocumentShape shape;
    YAJLParser parser;
    parser.setDelegate(&shape);
    std::vector<char> block(InventoryImport::kBlockSize);
    bool wellFormed = true;
    for (;;) {
        const std::size_t length = std::fread(block.data(), 1, block.size(), file.get());
        if (length == 0) {
            if (std::ferror(file.get())) {
                problem = "Cannot read " + path + ": " + std::strerror(errno) + ".";
                return std::nullopt;
            }
            wellFormed = parser.finish();
            break;
        }
        if (!parser.parse(block.data(), length)) {
            wellFormed = false;
            break;
        }
    }
    const std::string where = "The inventory document " + path;
    if (!wellFormed) {
        problem = where + " is damaged or incomplete" +
                  (parser.errorMessage().empty() ? std::string(".")
                                                 : " (" + parser.errorMessage() + ").") +
                  " Nothing was imported.";
        return std::nullopt;
    }
    const std::optional<double> date = awsDateFromString(shape.date_);
    if (!shape.topIsObject_ || !shape.hasList_ || shape.vaultARN_.empty() || !date) {
        problem = where +
                  " is not an inventory: it lacks its vault ARN, inventory date or archive list. "
                  "Nothing was imported.";
        return std::nullopt;
    }
    InventoryDocument document;
    document.vaultARN = shape.vaultARN_;
    document.inventoryDate = *date;
    document.archives = shape.archives_;
    return document;
}

}  // namespace quillon
