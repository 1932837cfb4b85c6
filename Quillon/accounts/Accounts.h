// Accounts: the accounts read from the accounts database, one shared object per id.
// Threads: main thread only; the process-wide cache is unguarded.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/db/Database.h"

namespace quillon {

class Account;
using AccountPtr = std::shared_ptr<Account>;

// Reads accounts from the accounts database. Every account is one shared object per id for
// the life of the process.
class Accounts {
  public:
    Accounts() = delete;

    static int count();
    static std::vector<AccountPtr> all();
    static AccountPtr get(std::int64_t id);
    static AccountPtr get(const std::string& name);
    static AccountPtr getByAccessKey(const std::string& accessKey);
    static AccountPtr getFromDB(Database& db, std::int64_t id);

    // The process-wide cache of loaded accounts by id.
    static std::map<std::int64_t, AccountPtr>& cache();
};

}  // namespace quillon
