#!/usr/bin/env python3
# Inventories of a million archives, end to end and in one run, through the command line:
#   bench/inventory_scale.py [BUILD_DIR] [WORK_DIR]
# makes a 1,000,000-archive document (InventoryImport generate), then reports
#   - a plain Python import of it (json.load, executemany into inventory_items, then the ten
#     item indexes created after the rows) next to `quillon inventory import --file`, with the
#     ratio and the import's peak memory;
#   - whole-process times of `inventory ls` (top level and a 1,000-archive folder),
#     `inventory tree`, `inventory find` (a term in 1% of the names) and `inventory map` with
#     100,000 mapping rows;
#   - the size of Store.db after three imports of the document, against its live pages.
# Single-threaded; every process it starts is waited for. Takes minutes.
import glob
import json
import os
import sqlite3
import subprocess
import sys
import time
import urllib.parse

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


def timed(argv):
    """Wall time and peak memory (MiB) of one process."""
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        process = subprocess.Popen(argv, stdout=null)
        _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.monotonic() - start
    if status != 0:
        sys.exit("failed (%d): %s" % (status, " ".join(argv)))
    return elapsed, usage.ru_maxrss / 1024


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "baseline":
        baseline(sys.argv[2], sys.argv[3])
        return
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/quillon-inventory-scale"
    os.makedirs(work, exist_ok=True)
    tool = os.path.join(build, "bench", "InventoryImport")
    quillon = os.path.join(build, "cli", "quillon")
    document = os.path.join(work, "inventory.json")
    if not os.path.exists(document):
        subprocess.run([tool, "generate", document], check=True)
    print("document: %.0f MB" % (os.path.getsize(document) / 1e6))

    homes = {}
    for which in ("python", "quillon"):
        home = os.path.join(work, which)
        subprocess.run(["rm", "-rf", home], check=True)
        subprocess.run([tool, "setup", home], check=True)
        homes[which] = home
    store = glob.glob(os.path.join(homes["python"], "**", "Store.db"), recursive=True)[0]
    py_time, py_mem = timed([sys.executable, __file__, "baseline", store, document])
    home = homes["quillon"]
    cli = [quillon, "--home", home, "--quiet", "inventory"]
    our_time, our_mem = timed(cli + ["import", "--vault", "bench", "--file", document])
    print("import: python %.1f s (peak %.0f MiB), quillon %.1f s (peak %.0f MiB), "
          "ratio %.2f" % (py_time, py_mem, our_time, our_mem, our_time / py_time))

    for label, args in (("ls /", ["ls", "--vault", "bench"]),
                        ("ls big/thousand", ["ls", "--vault", "bench", "big/thousand"]),
                        ("tree", ["tree", "--vault", "bench"]),
                        ("find needle", ["find", "--vault", "bench", "needle"])):
        seconds, _ = timed(cli + args)
        print("%s: %.2f s" % (label, seconds))

    ours = glob.glob(os.path.join(home, "**", "Store.db"), recursive=True)[0]
    mapping = os.path.join(work, "mapping.db")
    if os.path.exists(mapping):
        os.remove(mapping)
    with sqlite3.connect(ours) as source, sqlite3.connect(mapping) as target:
        ids = [row[0] for row in source.execute(
            "SELECT archive_id FROM inventory_items ORDER BY id LIMIT 100000")]
        target.execute("CREATE TABLE file_info_tb (archiveID TEXT, basePath TEXT)")
        target.executemany("INSERT INTO file_info_tb VALUES (?, ?)",
                           [(i, "mapped/%d/file-%d" % (n % 500, n)) for n, i in enumerate(ids)])
    seconds, _ = timed(cli + ["map", "--vault", "bench", "--file", mapping])
    print("map 100,000 rows: %.2f s" % seconds)

    for _ in range(2):
        timed(cli + ["import", "--vault", "bench", "--file", document])
    size = sum(os.path.getsize(p) for p in glob.glob(ours + "*"))
    with sqlite3.connect(ours) as db:
        page = db.execute("PRAGMA page_size").fetchone()[0]
        live = (db.execute("PRAGMA page_count").fetchone()[0] -
                db.execute("PRAGMA freelist_count").fetchone()[0]) * page
    print("Store.db after three imports: %.0f MB, live pages %.0f MB, ratio %.2f" %
          (size / 1e6, live / 1e6, size / live))


if __name__ == "__main__":
    main()
