#!/usr/bin/env python3
# Restores at scale, end to end and in one run, through the command line:
#   bench/restore_scale.py [BUILD_DIR] [WORK_DIR]
# reports
#   - a restore of a folder of 10,000 archives (1 GiB, distinct contents) from a simulator on
#     its own clock, with the Standard tier and a daily budget that needs 3 simulated days, run
#     as cron would (the same command again every 6 simulated hours) with one kill -9 in the
#     middle of a download run: wall time, peak memory, InitiateJob requests (the goal is one
#     per archive), download throughput, and that every file is byte-identical;
#   - the plan of a 1,000,000-archive inventory (InventoryImport generate): time and peak
#     memory of building it (restore --dry-run builds the whole plan, then drops it).
# Peak memory is /usr/bin/time -v's maximum resident set size. Every process it starts is
# waited for or stopped. Takes minutes.
import filecmp
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
import urllib.request

ARCHIVES = 10000
SIZE = (1 << 30) // ARCHIVES
BUDGET = "360MiB"  # 1 GiB / 360 MiB: three days


def timed(argv, kill_when=None):
    """Exit status, wall time and peak memory (MiB) of one process under /usr/bin/time -v.
    `kill_when`, polled while it runs, kills it with SIGKILL once it answers true."""
    start = time.monotonic()
    report = "/tmp/restore-scale-%d.time" % os.getpid()
    process = subprocess.Popen(["/usr/bin/time", "-v", "-o", report] + argv,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    killed = False
    while process.poll() is None:
        if kill_when and not killed and kill_when():
            child = subprocess.run(["pgrep", "-P", str(process.pid)], capture_output=True,
                                   text=True).stdout.split()
            for pid in child:
                os.kill(int(pid), 9)
            killed = True
        time.sleep(0.05)
    elapsed = time.monotonic() - start
    peak = 0.0
    status = process.returncode
    with open(report) as f:
        text = f.read()
        match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", text)
        if match:
            peak = int(match.group(1)) / 1024
        match = re.search(r"Exit status: (\d+)", text)
        if match:
            status = int(match.group(1))
        if "signal 9" in text:
            status = 137
    os.remove(report)
    return status, elapsed, peak


class Sim:
    def __init__(self, program, data):
        self.process = subprocess.Popen([program, "--data", data], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        self.url = line.strip().split(" ", 2)[-1]

    def control(self, method, what, body=None):
        request = urllib.request.Request(self.url + "_sim/" + what, method=method,
                                         data=json.dumps(body).encode() if body else None,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request) as answer:
            return answer.read()

    def advance(self, seconds):
        self.control("POST", "clock", {"advanceSeconds": seconds})

    def count(self, method, part, status=None):
        log = json.loads(self.control("GET", "log"))
        return sum(1 for e in log if e["method"] == method and part in e["target"] and
                   (status is None or e["status"] == status))

    def stop(self):
        self.process.terminate()
        self.process.wait()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    work = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "/tmp/quillon-restore-scale")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    quillon = os.path.join(build, "cli", "quillon")
    home = os.path.join(work, "home")
    source = os.path.join(work, "source")
    target = os.path.join(work, "restored")
    os.makedirs(home)
    os.makedirs(os.path.join(work, "sim"))
    sim = Sim(os.path.join(build, "tools", "quillon-sim"), os.path.join(work, "sim"))
    try:
        with open(os.path.join(home, "Regions.json"), "w") as f:
            json.dump({"local-1": {"name": "Local", "host": sim.url}}, f)
        q = [quillon, "--home", home, "--quiet"]

        def run(*args, stdin=None):
            return subprocess.run(q + list(args), input=stdin, capture_output=True, text=True,
                                  check=True).stdout

        run("account", "add", "bench", "--access-key", "AKIDEXAMPLE", "--secret-stdin",
            "--region", "local-1", stdin="wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY\n")
        run("vault", "create", "bench")
        run("prefs", "set", "maxConcurrentUploads", "8")
        run("prefs", "set", "maxConcurrentDownloads", "8")
        run("prefs", "set", "downloadPartSize", "1")
        rng = random.Random(7)
        for i in range(ARCHIVES):
            folder = os.path.join(source, "f%03d" % (i % 100))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "file-%05d.bin" % i), "wb") as f:
                f.write(rng.randbytes(SIZE))
        started = time.monotonic()
        run("upload", source, "--vault", "bench", "--folder", "photos")
        print("upload of %d archives: %.1f s" % (ARCHIVES, time.monotonic() - started))
        sim.advance(86400)  # the vault's daily inventory lists them
        job = json.loads(run("--json", "job", "inventory", "--vault", "bench"))["jobId"]
        sim.advance(12 * 3600)
        # The simulated days are ahead of this machine's clock: the inventory looks future.
        run("inventory", "import", "--vault", "bench", "--job", job, "--force")
        sim.control("DELETE", "log")

        restore = q + ["restore", "photos", "--vault", "bench", "--to", target, "--max-jobs",
                       str(ARCHIVES), "--max-bytes-per-day", BUDGET]
        total = 0.0
        peak = 0.0
        download_time = 0.0
        runs = 0
        killed = False
        first = 0.0
        while True:
            before = sum(len(files) for _, _, files in os.walk(target))
            kill = None
            if not killed and before >= ARCHIVES // 3:
                # In the middle: a kill -9 once a third more of the files are in place.
                kill = lambda: sum(len(f) for _, _, f in os.walk(target)) >= before + 500
            status, elapsed, memory = timed(restore, kill)
            runs += 1
            total += elapsed
            peak = max(peak, memory)
            if runs == 1:
                first = elapsed
            after = sum(len(files) for _, _, files in os.walk(target))
            if after > before:
                download_time += elapsed
            if kill:
                killed = True
                print("run %d killed (-9) with %d files in place" % (runs, after))
                continue
            if status == 0:
                break
            if status != 75 or runs > 40:
                sys.exit("restore run %d ended with %d" % (runs, status))
            sim.advance(6 * 3600)
        initiated = sim.count("POST", "/jobs", 202)
        same = all(filecmp.cmp(os.path.join(source, d, f),
                               os.path.join(target, "photos", "source", d, f), shallow=False)
                   for d in os.listdir(source) for f in os.listdir(os.path.join(source, d)))
        print("restore of %d archives (%.0f MiB), Standard, %s a day: %d runs over the "
              "simulated days, %.1f s in all (first run, plan included: %.1f s), peak %.0f MiB"
              % (ARCHIVES, ARCHIVES * SIZE / 1048576, BUDGET, runs, total, first, peak))
        print("InitiateJob requests: %d for %d archives; downloads %.1f MiB/s; byte-identical: %s"
              % (initiated, ARCHIVES, ARCHIVES * SIZE / 1048576 / download_time,
                 "yes" if same else "NO"))
    finally:
        sim.stop()

    # The plan of a million archives.
    tool = os.path.join(build, "bench", "InventoryImport")
    document = os.path.join(work, "million.json")
    subprocess.run([tool, "generate", document], check=True, stdout=subprocess.DEVNULL)
    big = os.path.join(work, "million")
    subprocess.run([tool, "setup", big], check=True, stdout=subprocess.DEVNULL)
    cli = [quillon, "--home", big, "--quiet"]
    subprocess.run(cli + ["inventory", "import", "--vault", "bench", "--file", document],
                   check=True, stdout=subprocess.DEVNULL)
    status, elapsed, memory = timed(cli + ["restore", "--vault", "bench", "--to",
                                           os.path.join(work, "million-out"), "--dry-run"])
    if status != 0:
        sys.exit("the plan of a million archives failed (%d)" % status)
    print("plan of 1,000,000 archives: %.1f s, peak %.0f MiB" % (elapsed, memory))


if __name__ == "__main__":
    main()
