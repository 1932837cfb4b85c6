#!/usr/bin/env python3
# Inventories of millions of archives, end to end and in one run, through the command line:
#   bench/inventory_scale.py [BUILD_DIR] [WORK_DIR] [COUNT...]      (COUNT: 1000000 by default)
# For each COUNT, a streaming generator (InventoryImport layout) writes a COUNT-archive document
# (4 top folders x 40 years x 25 subfolders, "big/thousand" with 1,000 files, "needle" in 1% of
# the names, 1% duplicated content), then it reports
#   - `quillon inventory import --file`: time, peak memory, and the ratio to COUNT / 1,000,000
#     times a plain Python import of the 1,000,000-archive document (json.load, executemany into
#     inventory_items, then the ten item indexes), which runs first in the same run;
#   - the inventory index's work (on the second core) and its file size;
#   - whole-process times of `inventory ls` (root and big/thousand), `du` of the root, `tree`,
#     `find` of one name (as written and with -i in capitals), `find` of a 1% term, `dupes`,
#     and `find` of every archive (a table, then JSON), with each one's peak memory;
#   - the account directory's size against the document, and each item index's size.
# At each size it also imports once without the inventory index (the index's cost in time).
# Documents are deleted at the end. Single-threaded; every process it starts is waited for.
import glob
import json
import os
import re
import sqlite3
import subprocess
import sys
import time
import urllib.parse
from functools import partial

print = partial(print, flush=True)  # pylint: disable=redefined-builtin

ITEM_INDEXES = [
    ("idx_inventory_items_inventory_id", "inventory_id"),
    ("idx_inventory_items_name_2", "inventory_id, name"),
    ("idx_inventory_items_archive_id_2", "inventory_id, archive_id"),
    ("idx_inventory_items_tree_hash_2", "inventory_id, tree_hash"),
    ("idx_inventory_items_local_add_2", "inventory_id, local_add"),
    ("idx_inventory_items_local_delete_2", "inventory_id, local_delete"),
    ("idx_inventory_items_dir_name_2", "inventory_id, dir_name"),
    ("idx_inventory_items_base_name_2", "inventory_id, base_name"),
    ("idx_inventory_items_archive_description_2", "inventory_id, archive_description"),
    ("idx_inventory_items_size_2", "inventory_id, size"),
]


def baseline(store, document):
    """The plain Python import, run in a process of its own."""
    db = sqlite3.connect(store)
    for name, _ in ITEM_INDEXES:
        db.execute("DROP INDEX IF EXISTS " + name)
    db.commit()
    with open(document, "rb") as f:
        data = json.load(f)
    rows = []
    for a in data["ArchiveList"]:
        name = urllib.parse.unquote(a["ArchiveDescription"])
        base = name.rsplit("/", 1)[-1]
        folder = name.rsplit("/", 1)[0] if "/" in name else ""
        created = int(time.mktime(time.strptime(a["CreationDate"], "%Y-%m-%dT%H:%M:%SZ")))
        rows.append((a["ArchiveId"], a["ArchiveDescription"], name, base, folder, a["Size"],
                     a["SHA256TreeHash"], created))
    db.executemany(
        "INSERT INTO inventory_items (archive_id, archive_description, name, base_name, "
        "dir_name, size, tree_hash, created_at, inventory_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1)",
        rows)
    db.commit()
    for name, columns in ITEM_INDEXES:
        db.execute("CREATE INDEX %s ON inventory_items (%s)" % (name, columns))
    db.commit()


def timed(argv, stderr=None):
    """Wall time and peak memory (MiB) of one process."""
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        process = subprocess.Popen(argv, stdout=null, stderr=stderr)
        _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.monotonic() - start
    if status != 0:
        sys.exit("failed (%d): %s" % (status, " ".join(argv)))
    return elapsed, usage.ru_maxrss / 1024


def size_of(paths):
    return sum(os.path.getsize(p) for p in paths if os.path.isfile(p))


def fresh_home(tool, work, name):
    home = os.path.join(work, name)
    subprocess.run(["rm", "-rf", home], check=True)
    subprocess.run([tool, "setup", home], check=True)
    return home


def run_count(build, work, count, python_time):
    tool = os.path.join(build, "bench", "InventoryImport")
    quillon = os.path.join(build, "cli", "quillon")
    label = "{:,}".format(count)
    document = os.path.join(work, "inventory-%d.json" % count)
    if not os.path.exists(document):
        seconds, _ = timed([tool, "layout", document, str(count)])
        print("[%s] generated the document in %.0f s" % (label, seconds))
    doc_size = os.path.getsize(document)
    print("[%s] document: %.0f MB" % (label, doc_size / 1e6))

    # The inventory index's cost in time: the same import without it.
    plain = fresh_home(tool, work, "plain-%d" % count)
    plain_seconds, memory = timed([tool, "import", document, plain, "plain"])
    print("[%s] import without the inventory index (library): %.1f s, peak %.0f MiB"
          % (label, plain_seconds, memory))
    subprocess.run(["rm", "-rf", plain], check=True)

    home = fresh_home(tool, work, "quillon-%d" % count)
    cli = [quillon, "--home", home, "--quiet", "inventory"]
    log = os.path.join(work, "import-%d.log" % count)
    with open(log, "wb") as err:
        seconds, memory = timed([quillon, "--home", home, "--verbose", "inventory", "import",
                                 "--vault", "bench", "--file", document], stderr=err)
    expected = python_time * count / 1000000
    print("[%s] import: %.1f s, peak %.0f MiB; goal %.1f s (%d x the Python baseline): ratio %.2f"
          % (label, seconds, memory, expected, count // 1000000, seconds / expected))
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            found = re.search(r"Inventory index of inventory \d+: (\d+) names in ([\d.]+) s", line)
            if found:
                print("[%s] inventory index: %s names, %.1f s of work on the second core, "
                      "%.1f s (%.0f%%) more than the import without it"
                      % (label, found.group(1), float(found.group(2)), seconds - plain_seconds,
                         100 * (seconds - plain_seconds) / plain_seconds))
            found = re.search(r"Parse took: ([\d.]+)s", line)
            if found:
                print("[%s] import phases: parse and insert %.1f s, then the item indexes and "
                      "the rest %.1f s" % (label, float(found.group(1)),
                                           seconds - float(found.group(1))))

    one = "img-%d." % (count // 2 + 1 if (count // 2) % 100 == 7 else count // 2)
    for name, args in (("ls /", ["ls", "--vault", "bench"]),
                       ("du /", ["du", "--vault", "bench"]),
                       ("ls big/thousand", ["ls", "--vault", "bench", "big/thousand"]),
                       ("tree", ["tree", "--vault", "bench"]),
                       ("find one name", ["find", "--vault", "bench", one]),
                       ("find -i one name", ["find", "-i", "--vault", "bench", one.upper()]),
                       ("find needle (1%)", ["find", "--vault", "bench", "needle"]),
                       ("find -i needle (1%)", ["find", "-i", "--vault", "bench", "NEEDLE"]),
                       ("dupes", ["dupes", "--vault", "bench"]),
                       ("find every archive", ["find", "--vault", "bench", "--glob", "*"]),
                       ("find every archive --json",
                        ["find", "--vault", "bench", "--glob", "*", "--json"])):
        seconds, memory = timed(cli + args)
        print("[%s] %s: %.2f s (peak %.0f MiB)" % (label, name, seconds, memory))

    account = os.path.dirname(glob.glob(os.path.join(home, "**", "Store.db"), recursive=True)[0])
    store = os.path.join(account, "Store.db")
    everything = size_of(glob.glob(os.path.join(home, "**", "*"), recursive=True))
    side = size_of(glob.glob(os.path.join(account, "StoreIndex.db*")))
    print("[%s] directory: %.0f MB = %.2f x the document; Store.db* %.0f MB, inventory index "
          "%.0f MB (%.2f x the document)"
          % (label, everything / 1e6, everything / doc_size,
             size_of(glob.glob(store + "*")) / 1e6, side / 1e6, side / doc_size))
    with sqlite3.connect(store) as db:
        try:
            sizes = db.execute("SELECT name, SUM(pgsize) FROM dbstat WHERE name LIKE "
                               "'%inventory_items%' GROUP BY name ORDER BY 2 DESC").fetchall()
            print("[%s] item table and indexes (MB): %s" % (label, ", ".join(
                "%s %.0f" % (n.replace("idx_inventory_items_", ""), s / 1e6) for n, s in sizes)))
        except sqlite3.Error as error:
            print("[%s] no dbstat: %s" % (label, error))
    if count > 1000000:
        kill_during_import(quillon, home, store, document, label)
    if count == 1000000:
        index_usage(store)
    subprocess.run(["rm", "-rf", home], check=True)
    os.remove(document)


# The item statements of the queries, the folder tree, the mapping import and the index's
# fingerprint, as they run (arguments inlined), for the indexes that they use.
STATEMENTS = [
    ("find TEXT (no index)", "SELECT id FROM inventory_items WHERE +inventory_id = 1 AND id >= "
     "(SELECT MIN(id) FROM inventory_items WHERE inventory_id = 1) AND name LIKE '%x%'"),
    ("find hash:", "SELECT id FROM inventory_items WHERE inventory_id = 1 AND tree_hash = 'h'"),
    ("find archive:", "SELECT id FROM inventory_items WHERE inventory_id = 1 AND "
     "archive_id = 'a'"),
    ("find ^PREFIX", "SELECT id FROM inventory_items WHERE inventory_id = 1 AND base_name "
     "LIKE 'IMG%'"),
    ("ls FOLDER", "SELECT id FROM inventory_items WHERE inventory_id = 1 AND dir_name = 'a' "
     "AND +local_delete IS NULL"),
    ("get by name", "SELECT id FROM inventory_items WHERE name = 'a' AND inventory_id = 1 "
     "AND +local_delete IS NULL"),
    ("prefix / folder pruning", "SELECT COUNT(*) FROM inventory_items WHERE inventory_id = 1 "
     "AND name GLOB 'a/*' AND +local_delete IS NULL"),
    ("numDuplicates / dupes", "SELECT tree_hash FROM inventory_items WHERE inventory_id = 1 "
     "GROUP BY tree_hash HAVING COUNT(*) > 1"),
    ("calculateSize", "SELECT COUNT(*) FROM inventory_items WHERE inventory_id = 1 AND "
     "dir_name LIKE 'a/%'"),
    ("mapping rows", "SELECT id, archive_id FROM inventory_items WHERE inventory_id = 1"),
    ("fingerprint: last row", "SELECT MAX(id) FROM inventory_items WHERE inventory_id = 1"),
    ("fingerprint: deleted", "SELECT COUNT(*) FROM inventory_items WHERE inventory_id = 1 AND "
     "local_delete IS NOT NULL"),
]


def index_usage(store):
    used = set()
    with sqlite3.connect(store) as db:
        for label, sql in STATEMENTS:
            plan = " / ".join(row[3] for row in db.execute("EXPLAIN QUERY PLAN " + sql))
            used.update(re.findall(r"idx_inventory_items_\w+", plan))
            print("  plan of %s: %s" % (label, plan))
    unused = [name for name, _ in ITEM_INDEXES if name not in used]
    print("item indexes no query uses: %s" % ", ".join(unused))


def schema_of(store):
    with sqlite3.connect(store) as db:
        return db.execute("SELECT type, name, sql FROM sqlite_master WHERE name NOT LIKE "
                          "'sqlite_stat%' ORDER BY name").fetchall()


def kill_during_import(quillon, home, store, document, label):
    """Kill -9 a second import of the document a third of the way in; the next opening must
    find a sound file, the exact schema and the previous inventory with its folder totals."""
    schema = schema_of(store)
    blocks = os.path.getsize(document) // 5242880
    process = subprocess.Popen([quillon, "--home", home, "--verbose", "inventory", "import",
                                "--vault", "bench", "--file", document],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seen = 0
    for line in process.stderr:
        if b" items and " in line:
            seen += 1
            if seen >= blocks // 3:
                break
    process.kill()
    process.stderr.close()
    process.wait()
    start = time.monotonic()
    out = subprocess.run([quillon, "--home", home, "--json", "inventory", "du", "--vault",
                          "bench"], check=True, capture_output=True).stdout
    opened = time.monotonic() - start
    du = json.loads(out)
    with sqlite3.connect(store) as db:
        # The checker's own cache (not the program's): the check reads every page once.
        db.execute("PRAGMA cache_size = -1048576")
        check = db.execute("PRAGMA integrity_check").fetchall()
        latest = db.execute("SELECT id FROM inventories WHERE import_done_at IS NOT NULL "
                            "ORDER BY inventory_date DESC, id DESC LIMIT 1").fetchone()[0]
        fresh = db.execute("SELECT SUM(size), COUNT(*) FROM inventory_items WHERE inventory_id = "
                           "? AND size != 1 AND local_delete IS NULL AND base_name NOT LIKE "
                           "'%/'", (latest,)).fetchone()
    print("[%s] kill -9 after %d of about %d blocks, then the next opening (du, rebuilding the "
          "item indexes) took %.1f s: integrity %s, schema %s, du %d files %d bytes, fresh sum "
          "%d files %d bytes: %s"
          % (label, seen, blocks, opened, check[0][0],
             "exact" if schema_of(store) == schema else "DIFFERENT", du["count"], du["size"],
             fresh[1], fresh[0],
             "equal" if (du["count"], du["size"]) == (fresh[1], fresh[0]) else "DIFFERENT"))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "baseline":
        baseline(sys.argv[2], sys.argv[3])
        return
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/quillon-inventory-scale"
    counts = [int(c) for c in sys.argv[3:]] or [1000000]
    os.makedirs(work, exist_ok=True)
    tool = os.path.join(build, "bench", "InventoryImport")

    # The Python baseline on the 1,000,000-archive document, first.
    document = os.path.join(work, "inventory-1000000.json")
    if not os.path.exists(document):
        timed([tool, "layout", document, "1000000"])
    home = fresh_home(tool, work, "python")
    store = glob.glob(os.path.join(home, "**", "Store.db"), recursive=True)[0]
    python_time, python_memory = timed([sys.executable, __file__, "baseline", store, document])
    print("Python baseline, 1,000,000 archives: %.1f s (peak %.0f MiB)"
          % (python_time, python_memory))
    subprocess.run(["rm", "-rf", home], check=True)
    if 1000000 not in counts:
        os.remove(document)
    for count in counts:
        run_count(build, work, count, python_time)


if __name__ == "__main__":
    main()
