// AccountsDB: the process-wide owner of the accounts database file.
// Threads: the instance and its lazily opened queue are unguarded: set up on the main thread;
//   the queue it hands out serialises its own use.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "interfaces/db/Database.h"

namespace quillon {

// The process-wide owner of the accounts database ("Accounts.db", or "Test-Accounts.db" under
// unit test) in the application directory.
class AccountsDB {
  public:
    static std::shared_ptr<AccountsDB> sharedInstance();
    static void setSharedInstance(std::shared_ptr<AccountsDB> instance);

    // Whether the accounts database file needs creating or migrating; opens no queue.
    bool needsMigration();
    // Opens the file through its schema builder; stops the process when it cannot be opened.
    DatabaseQueuePtr createDBInstance();
    DatabaseQueue& db();

    // True when the environment variable UNITTEST is exactly "1"; remembered.
    bool isUnitTest();
    // The application directory (AppDirectory::path(), the one place it comes from), created
    // when missing; stops the process when it cannot be.
    const std::string& appDir();
    // The accounts database inside appDir().
    const std::string& file();

  private:
    DatabaseQueuePtr db_;
    std::optional<bool> isUnitTest_;
    std::optional<std::string> appDir_;
    std::optional<std::string> file_;
};

}  // namespace quillon
