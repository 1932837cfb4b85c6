// Tests of Database and DatabaseQueue: binding, statements, transactions and serial blocks.
// Threads: the test's thread; one test submits queue blocks from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "interfaces/db/Database.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

using testing::TempDir;

int statementsOn(const Database& db) {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db.handle(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(db.handle(), s)) {
        ++count;
    }
    return count;
}

class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeStatements(
            "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
            "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, size INTEGER, flag INTEGER,"
            " created_at INTEGER, ratio REAL, data BLOB);"
            "CREATE INDEX idx_items_name ON items (name);"));
    }

    TempDir dir;
    Database db{dir.file("test.db")};
};

TEST_F(DatabaseTest, PositionalAndNamedParametersBindEveryValueKind) {
    ASSERT_TRUE(db.executeUpdate(
        "INSERT INTO items (name, size, flag, created_at, ratio, data) VALUES (?, ?, ?, ?, ?, ?)",
        {"first", sqlInt(5000000000), sqlBool(true), sqlNull(), 0.25, Bytes{0, 1, 255}}));
    EXPECT_EQ(db.lastInsertRowId(), 1);
    ASSERT_TRUE(db.executeUpdate(
        "INSERT INTO items (name, size, flag, created_at, data) VALUES (:name, :size, :flag, "
        ":created, :data)",
        SqlNamedArgs{{"name", "second"},
                     {"size", sqlInt(-7)},
                     {"flag", sqlBool(false)},
                     {"created", sqlInt(1700000000)},
                     {"data", Bytes{}},
                     {"unused", "surplus keys are ignored"}}));
    EXPECT_EQ(db.lastInsertRowId(), 2);
    EXPECT_EQ(db.changes(), 1);

    auto rs = db.executeQuery("SELECT * FROM items WHERE name = :name", {{"name", "first"}});
    ASSERT_TRUE(rs);
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->stringForColumn("NAME"), "first");  // column names are case-insensitive
    EXPECT_EQ(rs->longForColumn("size"), 5000000000);
    EXPECT_TRUE(rs->boolForColumn("flag"));
    EXPECT_EQ(rs->dateForColumn("created_at"), std::nullopt);
    EXPECT_DOUBLE_EQ(rs->doubleForColumn("ratio"), 0.25);
    EXPECT_EQ(rs->dataForColumn("data"), (Bytes{0, 1, 255}));
    EXPECT_EQ(rs->columnIndex("nope"), -1);
    EXPECT_EQ(rs->stringForColumn("nope"), std::nullopt);
    EXPECT_EQ(rs->longForColumn("nope"), 0);
    EXPECT_EQ(rs->columnCount(), 7);
    EXPECT_FALSE(rs->next());

    rs = db.executeQuery("SELECT * FROM items WHERE id = ?", {sqlInt(2)});
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumn("size"), -7);
    EXPECT_FALSE(rs->boolForColumn("flag"));
    EXPECT_EQ(rs->dateForColumn("created_at"), 1700000000);
    EXPECT_EQ(rs->dataForColumn("data"), Bytes{});  // empty blob, not NULL
    EXPECT_TRUE(rs->columnIsNull("ratio"));
}

TEST_F(DatabaseTest, WrongArgumentsFailWithoutRunning) {
    EXPECT_FALSE(db.executeUpdate("INSERT INTO items (name) VALUES (?)"));
    EXPECT_FALSE(db.executeUpdate("INSERT INTO items (name) VALUES (?)", {"a", "b"}));
    EXPECT_FALSE(db.executeUpdate("INSERT INTO items (name, size) VALUES (:name, :size)",
                                  SqlNamedArgs{{"name", "a"}}));
    EXPECT_FALSE(db.executeUpdate("INSERT INTO nowhere (name) VALUES (?)", {"a"}));
    EXPECT_EQ(db.lastErrorCode(), SQLITE_ERROR);
    EXPECT_FALSE(db.executeQuery("SELECT nothing FROM items"));
    EXPECT_EQ(db.intForQuery("SELECT count(*) FROM items"), 0);
    EXPECT_EQ(db.intForQuery("SELECT max(size) FROM items"), std::nullopt);
    EXPECT_EQ(db.intForQuery("SELECT id FROM items WHERE name = ?", {"x"}), std::nullopt);
    // A failed statement leaves the cached one usable.
    EXPECT_TRUE(db.executeUpdate("INSERT INTO items (name) VALUES (?)", {"ok"}));
}

TEST_F(DatabaseTest, StatementsArePreparedOncePerTextAndNotResetUnderAnOpenResultSet) {
    const std::string insert = "INSERT INTO items (name, size) VALUES (?, ?)";
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(db.executeUpdate(insert, {"n" + std::to_string(i), sqlInt(i)}));
    }
    EXPECT_EQ(statementsOn(db), 1);

    const std::string select = "SELECT size FROM items WHERE size < ? ORDER BY size";
    auto outer = db.executeQuery(select, {sqlInt(3)});
    ASSERT_TRUE(outer);
    std::vector<std::int64_t> seen;
    while (outer->next()) {
        // Same SQL while the outer cursor is open: needs a statement of its own.
        EXPECT_EQ(db.longForQuery(select, {sqlInt(100)}), 0);
        seen.push_back(outer->longForColumn("size"));
    }
    EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2}));
    // The exhausted cursor gave its statement back; the extra one is gone.
    EXPECT_EQ(statementsOn(db), 2);
    EXPECT_EQ(db.longForQuery(select, {sqlInt(10)}), 0);
    EXPECT_EQ(statementsOn(db), 2);
}

TEST_F(DatabaseTest, ClosingTheConnectionEndsOpenResultSets) {
    ASSERT_TRUE(db.executeUpdate("INSERT INTO items (name) VALUES ('a'), ('b')"));
    auto rs = db.executeQuery("SELECT name FROM items");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_TRUE(db.close());
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(rs->stringForColumn("name"), std::nullopt);
    EXPECT_FALSE(db.executeUpdate("INSERT INTO items (name) VALUES ('c')"));
    ASSERT_TRUE(db.open());
    EXPECT_EQ(db.intForQuery("SELECT count(*) FROM items"), 2);
}

TEST_F(DatabaseTest, TransactionsSchemaQueriesAndUserVersion) {
    ASSERT_TRUE(db.beginTransaction());
    EXPECT_TRUE(db.inTransaction());
    db.executeUpdate("INSERT INTO items (name) VALUES ('gone')");
    ASSERT_TRUE(db.rollback());
    EXPECT_FALSE(db.inTransaction());
    ASSERT_TRUE(db.beginTransaction());
    db.executeUpdate("INSERT INTO items (name) VALUES ('kept')");
    ASSERT_TRUE(db.commit());
    EXPECT_EQ(db.stringForQuery("SELECT group_concat(name) FROM items"), "kept");
    EXPECT_TRUE(db.tableExists("items"));
    EXPECT_TRUE(db.tableExists("ITEMS"));
    EXPECT_FALSE(db.tableExists("idx_items_name"));
    EXPECT_FALSE(db.tableExists("missing"));
    EXPECT_TRUE(db.columnExists("created_at", "items"));
    EXPECT_TRUE(db.columnExists("Name", "items"));
    EXPECT_FALSE(db.columnExists("base_name", "items"));
    EXPECT_FALSE(db.columnExists("name", "missing"));
    EXPECT_TRUE(db.indexExists("idx_items_name"));
    EXPECT_FALSE(db.indexExists("items"));
    EXPECT_FALSE(db.indexExists("it's"));  // broken SQL counts as absent

    EXPECT_EQ(db.userVersion(), 0u);
    ASSERT_TRUE(db.setUserVersion(3000000000u));  // beyond the signed range of the field
    db.close();
    ASSERT_TRUE(db.open());
    EXPECT_EQ(db.userVersion(), 3000000000u);
}

TEST(DatabaseOpenTest, NotADatabaseOrBelowARegularFileFails) {
    TempDir dir;
    const std::string path = dir.file("junk.db");
    std::ofstream(path) << "this is not an SQLite file, just some text long enough to matter\n";
    Database db(path);
    ASSERT_TRUE(db.open());
    EXPECT_FALSE(db.executeQuery("SELECT count(*) FROM sqlite_master"));
    EXPECT_EQ(db.lastErrorCode(), SQLITE_NOTADB);
    EXPECT_EQ(db.userVersion(), 0u);
    std::ofstream(dir.file("plain")) << "x";
    Database below(dir.file("plain") + "/test.db");
    EXPECT_FALSE(below.open());
    EXPECT_FALSE(below.isOpen());
    EXPECT_FALSE(below.executeUpdate("SELECT 1"));

    DatabaseQueue queue(dir.file("plain") + "/queue.db");
    EXPECT_FALSE(queue.isOpen());
    bool ran = false;
    queue.inDatabase([&](Database&) { ran = true; });
    EXPECT_FALSE(ran);
}

class DatabaseQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        queue.inDatabase([](Database& db) {
            db.executeStatements(
                "PRAGMA journal_mode = WAL;"
                "CREATE TABLE counter (value INTEGER); INSERT INTO counter VALUES (0);"
                "CREATE TABLE rows (name TEXT);");
        });
    }
    // The number the query gives, or -1.
    int intFor(const std::string& sql) {
        int value = -1;
        queue.inDatabase([&](Database& db) { value = db.intForQuery(sql).value_or(-1); });
        return value;
    }

    TempDir dir;
    DatabaseQueue queue{dir.file("queue.db")};
};

TEST_F(DatabaseQueueTest,
       ConnectionsAreCaseSensitiveSynchronousNormalAndTransactionBlocksCommitOrRollBack) {
    for (int round = 0; round < 2; ++round) {
        queue.inDatabase([](Database& db) {
            EXPECT_EQ(db.intForQuery("SELECT 'ABC' LIKE 'abc'"), 0);
            EXPECT_EQ(db.intForQuery("SELECT 'abc' LIKE 'a%'"), 1);
            EXPECT_EQ(db.intForQuery("PRAGMA synchronous"), 1);
        });
        queue.close();  // the next block reopens with the same settings
        EXPECT_FALSE(queue.isOpen());
    }
    queue.inTransaction(
        [](Database& db, bool&) { db.executeUpdate("INSERT INTO rows VALUES ('a')"); });
    queue.inTransaction([](Database& db, bool& rollback) {
        db.executeUpdate("INSERT INTO rows VALUES ('b')");
        rollback = true;
    });
    EXPECT_EQ(intFor("SELECT count(*) FROM rows"), 1);

    EXPECT_THROW(queue.inTransaction([](Database& db, bool&) {
        db.executeUpdate("INSERT INTO rows VALUES ('c')");
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(intFor("SELECT count(*) FROM rows"), 1);

    // Re-entrant use: an inner block rolled back leaves the outer block's work alone.
    queue.inTransaction([&](Database& db, bool&) {
        db.executeUpdate("INSERT INTO rows VALUES ('outer')");
        queue.inTransaction([](Database& inner, bool& rollback) {
            inner.executeUpdate("INSERT INTO rows VALUES ('inner')");
            rollback = true;
        });
        queue.inDatabase([](Database& same) { EXPECT_TRUE(same.inTransaction()); });
    });
    EXPECT_EQ(intFor("SELECT count(*) FROM rows"), 2);
    queue.inDatabase([](Database& db) { EXPECT_FALSE(db.inTransaction()); });
}

TEST_F(DatabaseQueueTest, ABlockWhoseTransactionCannotBeginDoesNotRunAndCountsAsAFailure) {
    // Another process's connection holds the write lock past this queue's busy timeout.
    Database other(dir.file("queue.db"));
    ASSERT_TRUE(other.open());
    ASSERT_TRUE(other.beginTransaction());
    std::uint64_t failuresBefore = 0;
    queue.inDatabase([&](Database& db) {
        db.setBusyTimeout(20);
        failuresBefore = db.storageFailures();
    });
    bool ran = false;
    const bool stored = queue.inTransaction([&](Database& db, bool&) {
        ran = true;
        db.executeUpdate("INSERT INTO rows VALUES ('lost')");
    });
    EXPECT_FALSE(stored);
    EXPECT_FALSE(ran);
    queue.inDatabase([&](Database& db) {
        EXPECT_GT(db.storageFailures(), failuresBefore);
        // An update lost to the lock is a failure too.
        const std::uint64_t before = db.storageFailures();
        EXPECT_FALSE(db.executeUpdate("INSERT INTO rows VALUES ('lost')"));
        EXPECT_EQ(db.storageFailures(), before + 1);
    });
    ASSERT_TRUE(other.commit());
    EXPECT_TRUE(queue.inTransaction(
        [](Database& db, bool&) { db.executeUpdate("INSERT INTO rows VALUES ('kept')"); }));
    EXPECT_EQ(intFor("SELECT count(*) FROM rows"), 1);
}

TEST_F(DatabaseQueueTest, BlocksFromManyThreadsRunOneAtATime) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::atomic<int> inside{0};
    {  // the threads join at the end of this block
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; ++i) {
                    queue.inDatabase([&](Database& db) {
                        EXPECT_EQ(inside.fetch_add(1), 0) << "another block is running";
                        auto value = db.longForQuery("SELECT value FROM counter").value_or(-1);
                        db.executeUpdate("UPDATE counter SET value = ?", {value + 1});
                        db.executeUpdate("INSERT INTO rows VALUES (?)",
                                         {"t" + std::to_string(t) + "-" + std::to_string(i)});
                        inside.fetch_sub(1);
                    });
                }
            });
        }
    }
    EXPECT_EQ(intFor("SELECT count(*) FROM rows"), kThreads * kRounds);
    EXPECT_EQ(intFor("SELECT value FROM counter"), kThreads * kRounds);
}

}  // namespace
}  // namespace quillon
