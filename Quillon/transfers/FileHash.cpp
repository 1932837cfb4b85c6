// FileHash: the record's key, staleness check and save. Threads: as in FileHash.h.
#include "transfers/FileHash.h"

#include <string>
#include <utility>

#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"
#include "transfers/FileHasher.h"

namespace quillon {

FileHash::FileHash(std::string path)
    : path_(std::move(path)), key_(FileHelpers::canonicalPath(path_)) {}

std::string FileHash::name() const {
    return lastPathComponent(key_);
}

bool FileHash::needRehash() const {
    if (!cachedStamp || !treeHash) {
        return true;
    }
    auto current = FileHelpers::stamp(key_);
    return !current || *current != *cachedStamp;
}

void FileHash::save() {
    FileHasher::sharedInstance().save(*this);
}

}  // namespace quillon
