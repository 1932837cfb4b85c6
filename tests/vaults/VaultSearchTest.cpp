// Tests of vault search: the remembered sort and the terms joined with or.
// Threads: run on the test's thread.
#include "VaultFixture.h"

namespace quillon::testing {
namespace {

using Names = std::vector<std::string>;

class VaultSearchTest : public VaultFixture {
  protected:
    void SetUp() override {
        VaultFixture::SetUp();
        struct Row {
            const char* name;
            int size;
            int created;
            int position;
        };
        for (const Row& row : std::vector<Row>{{"backup-2024", 30, 3, 2},
                                               {"Photos", 10, 1, 0},
                                               {"music_100%", 20, 2, 1},
                                               {"it's \"quoted\"", 5, 4, 3}}) {
            execute(
                "INSERT INTO vaults (name, meta, size, created_at, position, region) VALUES "
                "(?, '{}', ?, ?, ?, 'local-1')",
                {std::string(row.name), std::int64_t{row.size}, std::int64_t{row.created},
                 std::int64_t{row.position}});
        }
        execute("INSERT INTO vaults (name, meta, region) VALUES ('elsewhere', '{}', 'local-2')");
        execute(
            "INSERT INTO tags (key, value, vault, region) VALUES "
            "('owner', 'ann', 'Photos', 'local-1'), ('owner', 'bob', 'backup-2024', "
            "'local-1'), ('a=b', 'x', 'music_100%', 'local-1')");
    }

    std::vector<std::string> search(const std::string& query) {
        return names(accountRegion->vaults().filter(query));
    }

    Vaults& vaults() { return accountRegion->vaults(); }
};

TEST_F(VaultSearchTest, SortComesFromTheUserDefaults) {
    EXPECT_EQ(vaults().orderBy(), "position");
    EXPECT_EQ(names(vaults().all()),
              (Names{"Photos", "music_100%", "backup-2024", "it's \"quoted\""}));
    UserDefaults::standard()->setInteger("VaultsSortBy", 7);
    UserDefaults::standard()->setInteger("VaultsSortDirection", 1);
    EXPECT_EQ(vaults().sortBy(), Vaults::SortByOption::manually);
    EXPECT_EQ(vaults().orderBy(), "position");
    vaults().setSortBy(Vaults::SortByOption::size);
    EXPECT_EQ(vaults().orderBy(), "size desc");
    EXPECT_EQ(search(""), (Names{"backup-2024", "music_100%", "Photos", "it's \"quoted\""}));
    vaults().setSortBy(Vaults::SortByOption::createdAt);
    vaults().setSortDirection(Vaults::SortDirection::ascending);
    EXPECT_EQ(vaults().orderBy(), "created_at asc");
    EXPECT_EQ(UserDefaults::standard()->integer("VaultsSortBy"), 3);
}

TEST_F(VaultSearchTest, TermsAreJoinedWithOrAndBoundAsValues) {
    EXPECT_EQ(search("backup|tag:owner=ann"), (Names{"Photos", "backup-2024"}));
    EXPECT_EQ(search("tag:owner"), (Names{"Photos", "backup-2024"}));
    EXPECT_EQ(search("||photos||"), Names{});  // case-sensitive, empty terms dropped
    EXPECT_EQ(search("Pho"), Names{"Photos"});
    EXPECT_EQ(search("_"), (Names{"Photos", "music_100%", "backup-2024", "it's \"quoted\""}));
    EXPECT_EQ(search("100%"), Names{"music_100%"});
    EXPECT_EQ(search("'s \""), Names{"it's \"quoted\""});
    EXPECT_EQ(search("tag:a=b=x"), Names{});  // key "a", value "b=x"
    EXPECT_EQ(search("tag:a=x"), Names{"music_100%"});
    EXPECT_EQ(search("tag:=bob"), Names{"backup-2024"});
    EXPECT_EQ(search("x') OR 1=1 --"), Names{});
    EXPECT_EQ(search("elsewhere"), Names{});
}

}  // namespace
}  // namespace quillon::testing
