// Inventory import at scale, one measurement per process:
//   InventoryImport generate FILE      write a 1,000,000-archive inventory document
//   InventoryImport layout FILE COUNT  write a COUNT-archive document, streamed: 4 top folders
//                                      x 40 years x 25 subfolders, "big/thousand" with 1,000
//                                      files, "needle-"/"Needle-" in 1% of the names, one
//                                      archive in 100 a copy of the one before it
//   InventoryImport parse FILE         (a) streaming parse alone, no-op callbacks
//   InventoryImport insert FILE DIR    (b) the same rows into the same schema, one statement,
//                                          one transaction, no parsing or decoding
//   InventoryImport import FILE DIR [plain]  (c) InventoryImport::importFromFile (plain: without
//                                      the inventory index)
//   InventoryImport list DIR           list the 1,000-item folder of the imported inventory
//   InventoryImport search DIR         text search matching about 1% of the names
//   InventoryImport setup DIR          only the account and the vault "bench" in DIR
// bench/inventory_scale.py runs the whole scale benchmark through the command line.
// DIR is a fresh application directory for insert/import; list and search reuse import's.
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/text/Base64.h"
#include "interfaces/text/YAJLParser.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryDir.h"
#include "inventory/InventoryImport.h"
#include "inventory/InventoryManager.h"
#include "transfers/Archive.h"
#include "vaults/AccountDBBuilder.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

using namespace quillon;

namespace {

constexpr int kArchives = 1000000;
constexpr int kFolders = 20000;
constexpr const char* kVaultName = "bench";
constexpr const char* kARN = "arn:aws:glacier:us-east-1:123456789012:vaults/bench";

// A small deterministic generator (splitmix64), so every mode sees the same archives.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

  private:
    std::uint64_t state_;
};

struct Row {
    std::string archiveID;
    std::string description;
    std::string path;
    std::string baseName;
    std::string dirName;
    std::int64_t created = 0;
    std::int64_t size = 0;
    std::string treeHash;
};

const char* kWords[] = {"Photos", "2019", "Reise nach Köln", "backup", "Projects", "été",
                        "docs",   "raw",  "Family",          "archive"};

// Folders of depth 1 to 6: each new folder hangs below a random earlier one (or the top).
// The last folder is "big/thousand", which receives exactly 1,000 files.
std::vector<std::string> makeFolders() {
    Random random(42);
    std::vector<std::string> folders;
    std::vector<int> depths;
    while (static_cast<int>(folders.size()) < kFolders - 1) {
        std::string name =
            std::string(kWords[random.below(10)]) + " " + std::to_string(folders.size());
        if (folders.empty() || random.below(20) == 0) {
            folders.push_back(name);
            depths.push_back(1);
            continue;
        }
        std::size_t parent = random.below(folders.size());
        if (depths[parent] >= 6) {
            continue;
        }
        folders.push_back(folders[parent] + "/" + name);
        depths.push_back(depths[parent] + 1);
    }
    folders.push_back("big/thousand");
    return folders;
}

class Generator {
  public:
    Generator() : folders_(makeFolders()), random_(7) {}

    // The archive with this index.
    Row row(int index) {
        Row row;
        static const char kIDChars[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        row.archiveID.resize(138);
        for (char& c : row.archiveID) {
            c = kIDChars[random_.below(64)];
        }
        const std::string& folder =
            index < 1000 ? folders_.back() : folders_[random_.below(folders_.size() - 1)];
        // About 1% of the names carry the search term.
        std::string file = (index % 100 == 7 ? "needle-" : "file ") + std::to_string(index) +
                           (index % 3 == 0 ? ".jpg" : ".dat");
        row.path = folder + "/" + file;
        row.baseName = file;
        row.dirName = folder;
        const std::string absolute = "/" + row.path;
        const std::string base64 = Base64::encode(std::string_view(absolute));
        switch (index % 50) {
            case 0:
                row.description = "<m><p>" + base64 + "</p></m>";
                break;
            case 1:
                row.description = "key=" + base64 + ";mtime=1500000000";
                break;
            case 2:
                row.description = "{\\\"Path\\\":\\\"" + absolute + "\\\"}";
                break;
            default:
                row.description = *Archive::encodeArchiveDescription(row.path);
        }
        row.created = 1400000000 + index * 60;
        // Logical sizes average about 3 MB: a few TiB in all.
        row.size = static_cast<std::int64_t>(random_.below(6'000'000)) + 2;
        static const char kHex[] = "0123456789abcdef";
        row.treeHash.resize(64);
        for (char& c : row.treeHash) {
            c = kHex[random_.below(16)];
        }
        return row;
    }

  private:
    std::vector<std::string> folders_;
    Random random_;
};

std::string isoDate(std::int64_t seconds) {
    std::time_t time = seconds;
    std::tm parts{};
    gmtime_r(&time, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buffer;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

int generate(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "wb"),
                                                        std::fclose);
    if (!out) {
        std::perror(path.c_str());
        return 1;
    }
    std::fprintf(
        out.get(),
        "{\"VaultARN\":\"%s\",\"InventoryDate\":\"2024-03-01T12:00:00Z\",\"ArchiveList\":[", kARN);
    Generator generator;
    std::int64_t total = 0;
    for (int i = 0; i < kArchives; ++i) {
        Row row = generator.row(i);
        total += row.size;
        std::fprintf(
            out.get(),
            "%s{\"ArchiveId\":\"%s\",\"ArchiveDescription\":\"%s\",\"CreationDate\":\"%s\","
            "\"Size\":%lld,\"SHA256TreeHash\":\"%s\"}",
            i ? "," : "", row.archiveID.c_str(), row.description.c_str(),
            isoDate(row.created).c_str(), static_cast<long long>(row.size), row.treeHash.c_str());
    }
    std::fprintf(out.get(), "]}");
    std::printf("generate: %d archives in %d folders, %.2f TiB logical\n", kArchives, kFolders,
                static_cast<double>(total) / (1024.0 * 1024 * 1024 * 1024));
    return 0;
}

// The archives of `layout`, written one by one.
int layout(const std::string& path, long long count) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(path.c_str(), "wb"),
                                                        std::fclose);
    if (!out) {
        std::perror(path.c_str());
        return 1;
    }
    static const char* const kTops[] = {"Photos", "Documents", "Music", "Video"};
    static const char kIDChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    static const char kHex[] = "0123456789abcdef";
    std::fprintf(
        out.get(),
        "{\"VaultARN\":\"%s\",\"InventoryDate\":\"2024-03-01T12:00:00Z\",\"ArchiveList\":[", kARN);
    Random random(11);
    std::string archiveID(138, 'A');
    std::string treeHash(64, '0');
    for (long long i = 0; i < count; ++i) {
        for (char& c : archiveID) {
            c = kIDChars[random.below(64)];
        }
        // One archive in 100 has the content of the one before it.
        if (i % 100 != 3) {
            for (char& c : treeHash) {
                c = kHex[random.below(16)];
            }
        }
        std::string folder;
        if (i < 1000) {
            folder = "big/thousand";
        } else {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%s/%lld/set-%02lld", kTops[i % 4],
                          1985 + (i / 4) % 40, (i / 160) % 25);
            folder = buffer;
        }
        const char* stem = i % 200 == 7 ? "Needle-" : i % 100 == 7 ? "needle-" : "img-";
        const std::string name =
            folder + "/" + stem + std::to_string(i) + (i % 3 == 0 ? ".jpg" : ".dat");
        std::string description;
        if (i % 50 == 0) {
            description = "<m><p>" + Base64::encode(std::string_view("/" + name)) + "</p></m>";
        } else {
            description = *Archive::encodeArchiveDescription(name);
        }
        std::fprintf(
            out.get(),
            "%s{\"ArchiveId\":\"%s\",\"ArchiveDescription\":\"%s\",\"CreationDate\":\"%s\","
            "\"Size\":%lld,\"SHA256TreeHash\":\"%s\"}",
            i ? "," : "", archiveID.c_str(), description.c_str(),
            isoDate(1400000000 + i % 300000000).c_str(),
            static_cast<long long>(random.below(6'000'000) + 2), treeHash.c_str());
    }
    std::fprintf(out.get(), "]}");
    return std::ferror(out.get()) ? 1 : 0;
}

int parse(const std::string& path) {
    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!in) {
        std::perror(path.c_str());
        return 1;
    }
    YAJLParserDelegate ignore;
    YAJLParser parser;
    parser.setDelegate(&ignore);
    std::vector<char> block(InventoryImport::kBlockSize);
    std::size_t length = 0;
    while ((length = std::fread(block.data(), 1, block.size(), in.get())) > 0) {
        parser.parse(block.data(), length);
    }
    bool ok = parser.finish();
    std::printf("parse: %.2f s%s, peak %ld MiB\n", seconds(start), ok ? "" : " (syntax error)",
                peakMiB());
    return 0;
}

// An account with the vault "bench" in the application directory `home`.
VaultPtr benchVault(const std::string& home) {
    setenv("QUILLON_HOME", home.c_str(), 1);
    auto accounts = Accounts::all();
    AccountPtr account;
    if (accounts.empty()) {
        account = Account::create();
        account->name = "bench";
        account->accessKey = "AKIDBENCH";
        account->setSecret("secret");
        account->activeRegions.clear();
        account->activeRegions.insert(Regions::get("us-east-1"));
        account->save(true);
    } else {
        account = accounts.front();
    }
    auto accountRegion = account->accountRegion("us-east-1");
    VaultPtr vault = accountRegion->vaults().get(kVaultName);
    if (!vault) {
        vault = Vault::create(accountRegion);
        vault->name = kVaultName;
        vault->data =
            JSON::parse(std::string("{\"VaultName\":\"bench\",\"VaultARN\":\"") + kARN + "\"}");
        vault->save();
    }
    return vault;
}

int insert(const std::string& home) {
    VaultPtr vault = benchVault(home);
    const std::string path = vault->db().path();
    vault->db().close();
    sqlite3* raw = nullptr;
    if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) {
        return 1;
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    sqlite3_exec(db.get(), "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db.get(),
                       "INSERT INTO inventory_items (archive_id, archive_description, name, "
                       "base_name, dir_name, size, tree_hash, created_at, inventory_id) VALUES "
                       "(?, ?, ?, ?, ?, ?, ?, ?, 1)",
                       -1, &statement, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> insert(statement, sqlite3_finalize);
    // The rows are made before the clock starts, in slices, so memory stays small.
    Generator generator;
    double elapsed = 0;
    constexpr int kSlice = 50000;
    sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
    for (int first = 0; first < kArchives; first += kSlice) {
        std::vector<Row> rows;
        rows.reserve(kSlice);
        for (int i = first; i < first + kSlice && i < kArchives; ++i) {
            rows.push_back(generator.row(i));
        }
        auto start = std::chrono::steady_clock::now();
        for (const Row& row : rows) {
            sqlite3_bind_text(statement, 1, row.archiveID.data(), row.archiveID.size(),
                              SQLITE_STATIC);
            sqlite3_bind_text(statement, 2, row.description.data(), row.description.size(),
                              SQLITE_STATIC);
            sqlite3_bind_text(statement, 3, row.path.data(), row.path.size(), SQLITE_STATIC);
            sqlite3_bind_text(statement, 4, row.baseName.data(), row.baseName.size(),
                              SQLITE_STATIC);
            sqlite3_bind_text(statement, 5, row.dirName.data(), row.dirName.size(), SQLITE_STATIC);
            sqlite3_bind_int64(statement, 6, row.size);
            sqlite3_bind_text(statement, 7, row.treeHash.data(), row.treeHash.size(),
                              SQLITE_STATIC);
            sqlite3_bind_int64(statement, 8, row.created);
            sqlite3_step(statement);
            sqlite3_reset(statement);
        }
        elapsed += seconds(start);
    }
    auto start = std::chrono::steady_clock::now();
    sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
    elapsed += seconds(start);
    std::printf("insert: %.2f s, peak %ld MiB\n", elapsed, peakMiB());
    return 0;
}

int import(const std::string& file, const std::string& home) {
    VaultPtr vault = benchVault(home);
    auto start = std::chrono::steady_clock::now();
    InventoryImport importer(vault);
    InventoryPtr inventory = importer.importFromFile(file, [](int) { return true; });
    std::printf("import: %.2f s, %lld archives, peak %ld MiB\n", seconds(start),
                static_cast<long long>(importer.countArchives()), peakMiB());
    return inventory ? 0 : 1;
}

int list(const std::string& home) {
    InventoryPtr inventory = benchVault(home)->inventoryManager().latest();
    if (!inventory) {
        return 1;
    }
    InventoryDir dir(inventory, "thousand", "big");
    inventory->items({.dir = &dir});  // warm the cache once
    double best = 1e9;
    std::size_t count = 0;
    for (int run = 0; run < 5; ++run) {
        auto start = std::chrono::steady_clock::now();
        count = inventory->items({.dir = &dir}).size();
        best = std::min(best, seconds(start));
    }
    auto start = std::chrono::steady_clock::now();
    auto folders = inventory->rootDir().subdirectories();
    std::printf("list: %zu items in %.1f ms (best of 5); %zu top folders in %.1f ms\n", count,
                best * 1000, folders.size(), seconds(start) * 1000);
    return 0;
}

int search(const std::string& home) {
    InventoryPtr inventory = benchVault(home)->inventoryManager().latest();
    if (!inventory) {
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    auto items = inventory->items({.search = "needle"});
    std::printf("search: %zu items in %.3f s\n", items.size(), seconds(start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ConsoleLog::setSink([](const std::string&) {});
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "generate" && argc == 3) {
        return generate(argv[2]);
    }
    if (mode == "layout" && argc == 4) {
        return layout(argv[2], std::atoll(argv[3]));
    }
    if (mode == "parse" && argc == 3) {
        return parse(argv[2]);
    }
    if (mode == "insert" && argc == 4) {
        return insert(argv[3]);
    }
    if (mode == "import" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "plain"))) {
        // "plain": without the inventory index, to measure what it costs.
        InventoryImport::writesIndex = argc == 4;
        return import(argv[2], argv[3]);
    }
    if (mode == "setup" && argc == 3) {
        return benchVault(argv[2]) ? 0 : 1;
    }
    if (mode == "list" && argc == 3) {
        return list(argv[2]);
    }
    if (mode == "search" && argc == 3) {
        return search(argv[2]);
    }
    std::fprintf(stderr,
                 "usage: %s generate FILE | layout FILE COUNT | parse FILE | insert FILE DIR | "
                 "import FILE DIR | "
                 "list DIR | search DIR | setup DIR\n",
                 argv[0]);
    return 1;
}
