#!/usr/bin/env python3
# A purge of 100,000 archives through the command line, killed halfway, against botocore:
#   bench/purge_scale.py [BUILD_DIR] [WORK_DIR] [COUNT]
# seeds COUNT (100,000) archives into a simulated vault and imports its inventory, then
#   - runs `quillon vault purge --yes` under /usr/bin/time -v, kills it (SIGKILL) once the
#     journal holds half of the deletions, and runs it again to the end: whole-process wall
#     times and peak memory of both runs, and the rate over their sum;
#   - counts the DELETE requests in the simulator's log: per archive, and those confirmed twice;
#   - in the same run, seeds as many archives into a second vault and deletes them with
#     botocore (Debian's python3-botocore) on 16 threads: wall time and rate.
# Every process it starts is waited for or killed; the simulator is stopped at the end.
import concurrent.futures
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import time
import urllib.request

ACCESS_KEY = "AKIDEXAMPLE"
SECRET_KEY = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY"


def control(base, method, path, body=None):
    data = json.dumps(body).encode() if body is not None else None
    request = urllib.request.Request(base + "_sim/" + path, data=data, method=method)
    with urllib.request.urlopen(request, timeout=600) as answer:
        text = answer.read()
    return json.loads(text) if text else None


def seed(base, vault, count):
    left = count
    while left > 0:
        step = min(left, 10000)
        control(base, "POST", "seed", {"vault": vault, "count": step, "size": 1,
                                       "prefix": vault + "/a-%d-" % left})
        left -= step


def quillon(build, home, *args, stdin=None):
    argv = [os.path.join(build, "cli", "quillon"), "--home", home] + list(args)
    done = subprocess.run(argv, input=stdin, capture_output=True, text=True, timeout=3600)
    if done.returncode != 0:
        sys.exit("failed (%d): %s\n%s" % (done.returncode, " ".join(argv), done.stderr))
    return done.stdout


def import_inventory(build, home, vault):
    job = json.loads(quillon(build, home, "--json", "job", "inventory", "--vault", vault))["jobId"]
    quillon(build, home, "job", "wait", job, "--vault", vault, "--interval", "0.2")
    quillon(build, home, "inventory", "import", "--vault", vault, "--job", job)


def store_path(home):
    for root, _, files in os.walk(home):
        if "Store.db" in files:
            return os.path.join(root, "Store.db")
    sys.exit("no Store.db under " + home)


def journalled(store):
    db = sqlite3.connect("file:%s?mode=ro" % store, uri=True, timeout=30)
    try:
        return db.execute("SELECT COUNT(*) FROM archives WHERE action = 'delete'").fetchone()[0]
    except sqlite3.OperationalError:
        return 0
    finally:
        db.close()


def timed_purge(build, home, vault, kill_at=None, store=None):
    """One purge under /usr/bin/time -v: wall seconds, peak MiB, exit status."""
    argv = ["/usr/bin/time", "-v", os.path.join(build, "cli", "quillon"), "--home", home,
            "--quiet", "vault", "purge", vault, "--yes"]
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if kill_at is not None:
        child = None
        deadline = time.monotonic() + 3600
        while process.poll() is None and time.monotonic() < deadline:
            if child is None:
                try:
                    with open("/proc/%d/task/%d/children" % (process.pid, process.pid)) as f:
                        child = int(f.read().split()[0])
                except (OSError, IndexError, ValueError):
                    pass
            if child is not None and journalled(store) >= kill_at:
                os.kill(child, signal.SIGKILL)
                break
            time.sleep(0.05)
    _, report = process.communicate(timeout=3600)
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (\S+)", report).group(1)
    seconds = 0.0
    for part in wall.split(":"):
        seconds = seconds * 60 + float(part)
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1)) / 1024
    status = re.search(r"Exit status: (\d+)", report)
    signalled = "terminated by signal" in report
    return seconds, peak, (int(status.group(1)) if status else -1), signalled


def botocore_delete(base, vault, ids, threads):
    import botocore.config
    import botocore.session
    session = botocore.session.get_session()
    client = session.create_client(
        "glacier", region_name="us-east-1", endpoint_url=base.rstrip("/"),
        aws_access_key_id=ACCESS_KEY, aws_secret_access_key=SECRET_KEY,
        config=botocore.config.Config(max_pool_connections=threads,
                                      retries={"max_attempts": 10, "mode": "standard"}))

    def delete(archive_id):
        client.delete_archive(vaultName=vault, archiveId=archive_id)

    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        for _ in pool.map(delete, ids, chunksize=64):
            pass
    return time.monotonic() - start


def delete_counts(base):
    per_id, confirmed = {}, {}
    for entry in control(base, "GET", "log"):
        if entry["method"] != "DELETE" or "/archives/" not in entry["target"]:
            continue
        archive = entry["target"].split("/archives/", 1)[1]
        per_id[archive] = per_id.get(archive, 0) + 1
        if entry["status"] < 300:
            confirmed[archive] = confirmed.get(archive, 0) + 1
    return per_id, confirmed


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    work = sys.argv[2] if len(sys.argv) > 2 else "/tmp/quillon-purge-scale"
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 100000
    home = os.path.join(work, "home")
    subprocess.run(["rm", "-rf", work], check=True)
    os.makedirs(home)
    sim = subprocess.Popen([os.path.join(build, "tools", "quillon-sim"), "--port", "0",
                            "--job-delay", "0.1"], stdout=subprocess.PIPE, text=True)
    try:
        base = sim.stdout.readline().split()[-1]
        with open(os.path.join(home, "Regions.json"), "w") as f:
            json.dump({"local-1": {"name": "Local", "host": base}}, f)
        quillon(build, home, "account", "add", "bench", "--access-key", ACCESS_KEY,
                "--secret-stdin", "--region", "local-1", stdin=SECRET_KEY + "\n")
        seed(base, "purge", count)
        import_inventory(build, home, "purge")
        store = store_path(home)
        control(base, "DELETE", "log")

        first = timed_purge(build, home, "purge", kill_at=count // 2, store=store)
        at_kill = journalled(store)
        second = timed_purge(build, home, "purge")
        per_id, confirmed = delete_counts(base)
        total = first[0] + second[0]
        print("quillon purge of %d archives, killed (SIGKILL) at %d journalled:" % (count, at_kill))
        print("  run 1: %.2f s, peak %.1f MiB (killed: %s)" % (first[0], first[1], first[3]))
        print("  run 2: %.2f s, peak %.1f MiB, exit %d" % (second[0], second[1], second[2]))
        print("  total: %.2f s, %.0f deletions/s" % (total, count / total))
        print("  DELETE requests %d for %d archives; sent twice: %d; confirmed twice: %d; "
              "journalled at the end: %d" % (
                  sum(per_id.values()), len(per_id),
                  sum(1 for n in per_id.values() if n > 1),
                  sum(1 for n in confirmed.values() if n > 1), journalled(store)))

        control(base, "DELETE", "log")
        seed(base, "boto", count)
        import_inventory(build, home, "boto")
        db = sqlite3.connect("file:%s?mode=ro" % store, uri=True)
        ids = [row[0] for row in db.execute(
            "SELECT archive_id FROM inventory_items WHERE inventory_id = (SELECT MAX(id) FROM "
            "inventories WHERE vault = 'boto')")]
        db.close()
        elapsed = botocore_delete(base, "boto", ids, 16)
        print("botocore, 16 threads: %d deletions in %.2f s, %.0f deletions/s" % (
            len(ids), elapsed, len(ids) / elapsed))
        print("ratio: %.2fx" % ((count / total) / (len(ids) / elapsed)))
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=60)


if __name__ == "__main__":
    main()
