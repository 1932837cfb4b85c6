// ModelState: the test helpers around the process-wide model state (fresh home, caches, rows).
// Threads: the test's thread, which also pumps the main queue; awaitCompletion takes its
//   completion on any thread.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "accounts/Account.h"
#include "accounts/Region.h"
#include "foundation/Error.h"
#include "interfaces/db/Database.h"

namespace quillon::testing {

// The process-wide model state of one test: the application directory (and HOME) point into
// `home`, user defaults, account and vault caches and test regions start empty, and all of it is
// cleared again (after one turn of the main queue) when this goes.
class FreshModelState {
  public:
    explicit FreshModelState(const std::string& home);
    ~FreshModelState();
    FreshModelState(const FreshModelState&) = delete;
    FreshModelState& operator=(const FreshModelState&) = delete;
};

// Every row of a table as text ("a|b|\n" per row, ordered by the first two columns), for
// before/after comparisons that a database file's bytes cannot give (a WAL file takes writes).
std::string dumpRows(DatabaseQueue& queue, const std::string& table);

// Every row a query returns as text, in the same form.
std::string dumpQuery(DatabaseQueue& queue, const std::string& sql);

// A test region served at `url` (a simulator's region URL), registered for lookups by id.
RegionPtr addTestRegion(const std::string& id, const std::string& name, const std::string& url);

// A saved account with these keys, working in the given regions.
AccountPtr saveTestAccount(const std::string& name, const std::string& accessKey,
                           const std::string& secret, const std::vector<RegionPtr>& regions);

// Starts an operation that reports through a completion taking an error and waits for it; a
// completion that never comes is a test failure.
template <typename Start>
ErrorPtr awaitCompletion(Start start, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    auto promise = std::make_shared<std::promise<ErrorPtr>>();
    auto future = promise->get_future();
    start([promise](ErrorPtr error) { promise->set_value(std::move(error)); });
    if (future.wait_for(timeout) != std::future_status::ready) {
        ADD_FAILURE() << "no completion";
        return nullptr;
    }
    return future.get();
}

}  // namespace quillon::testing
