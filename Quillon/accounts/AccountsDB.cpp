// AccountsDB: locating and opening the accounts database. Threads: as in AccountsDB.h.
#include "accounts/AccountsDB.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "accounts/AccountsDBBuilder.h"
#include "foundation/FatalError.h"
#include "foundation/PathComponents.h"
#include "interfaces/db/Database.h"
#include "interfaces/platform/AppDirectory.h"

namespace quillon {

namespace {

std::shared_ptr<AccountsDB>& sharedSlot() {
    static std::shared_ptr<AccountsDB> instance;
    return instance;
}

}  // namespace

std::shared_ptr<AccountsDB> AccountsDB::sharedInstance() {
    if (!sharedSlot()) {
        sharedSlot() = std::make_shared<AccountsDB>();
    }
    return sharedSlot();
}

void AccountsDB::setSharedInstance(std::shared_ptr<AccountsDB> instance) {
    sharedSlot() = std::move(instance);
}

bool AccountsDB::isUnitTest() {
    if (!isUnitTest_) {
        const char* value = std::getenv("UNITTEST");
        isUnitTest_ = value != nullptr && std::strcmp(value, "1") == 0;
    }
    return *isUnitTest_;
}

const std::string& AccountsDB::appDir() {
    if (!appDir_) {
        std::string dir = AppDirectory::path();
        requirePrivateDirectory(dir, "The application directory");
        appDir_ = dir;
    }
    return *appDir_;
}

const std::string& AccountsDB::file() {
    if (!file_) {
        file_ = appendingPathComponent(appDir(), isUnitTest() ? "Test-Accounts.db" : "Accounts.db");
    }
    return *file_;
}

bool AccountsDB::needsMigration() {
    AccountsDBBuilder builder(file());
    return builder.needsMigration();
}

DatabaseQueuePtr AccountsDB::createDBInstance() {
    AccountsDBBuilder builder(file());
    DatabaseQueuePtr queue = builder.getDBQueue();
    if (!queue) {
        fatalError("The accounts database " + file() +
                   " cannot be opened: " + builder.openFailure() + ".");
    }
    db_ = queue;
    return queue;
}

DatabaseQueue& AccountsDB::db() {
    if (!db_) {
        createDBInstance();
    }
    return *db_;
}

}  // namespace quillon
