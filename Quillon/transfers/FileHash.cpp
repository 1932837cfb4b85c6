#include "transfers/FileHash.h"

#include "interfaces/files/FileHelpers.h"
#include "interfaces/files/PathComponents.h"
#include "transfers/FileHasher.h"

namespace quillon {

FileHash::FileHash(std::string path) : path_(std::move(path)) {}

std::string FileHash::name() const {
    return lastPathComponent(path_);
}

bool FileHash::needRehash() const {
    if (!cachedMtime) {
        return true;
    }
    if (auto mtime = FileHelpers::modificationDate(path_);
        mtime && mtime->seconds != *cachedMtime) {
        return true;
    }
    if (FileHelpers::fileSize(path_).value_or(-1) != cachedSize) {
        return true;
    }
    return !treeHash.has_value();
}

void FileHash::save() {
    FileHasher::sharedInstance().save(*this);
}

}  // namespace quillon
