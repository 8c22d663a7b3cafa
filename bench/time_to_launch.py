#!/usr/bin/env python3
"""Time to launch: from the start of the installer process to the first line Morvell writes.

usage: time_to_launch.py <build dir> [baseline build dir] [megabytes] [files] [rounds] [sha megabytes]

Builds a package of <files> files (<megabytes> MB in all, incompressible) whose bin/Morvell.exe is
the sample application (it appends a line to MORVELL_APP_LOG as it starts, then exits), packs it
into an offline installer with each build's morvell-installer, then runs <rounds> (5) paired
rounds. Each round: `bsdtar -xf` of the zip into an empty folder and, for each build in turn, a
silent install into an empty folder and a second one over that installation; every other round
runs them in the opposite order (bsdtar last, the builds the other way round). Before every run the
page cache is dropped where the machine allows it (root with a writable
/proc/sys/vm/drop_caches). For each install it prints the time until the application's line (the
time to launch) and until the installer's exit (the whole install, the removal of the previous
version included), with the median and range of each and of the time to launch against bsdtar.

Then, in the same run, SHA-256 of a <sha megabytes> (1024) MiB file in the page cache with each
build's sha256_file_hex (morvell-bench-catalogue), against `openssl speed -evp sha256 -bytes 1048576`
(its own loop over one buffer in memory; the rate by CPU time, and with -elapsed by the clock).
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

from bench_files import drop_caches, make_package


def timed(args, cwd=None):
    start = time.monotonic()
    code = subprocess.run(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    return time.monotonic() - start, code


def install(setup, target, env, app_log):
    """(time to the application's first line, time to the installer's exit, exit code)."""
    if os.path.exists(app_log):
        os.unlink(app_log)
    start = time.monotonic()
    child = subprocess.Popen([setup, "--silent-install", "--no-desktop-shortcut", "--no-start-menu-shortcut",
                              "--install-dir", target], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    launched = None
    while True:
        if launched is None and os.path.exists(app_log) and os.path.getsize(app_log) > 0:
            launched = time.monotonic() - start
        code = child.poll()
        if code is not None and launched is not None:
            break
        if code is not None and time.monotonic() - start > 30:   # the application never wrote
            break
        time.sleep(0.001)
    whole = time.monotonic() - start if code is not None else None
    # The poll may see the exit first; the line then came before it, within one poll.
    return (launched if launched is not None else float("nan")), whole, code


def spread(values, form):
    return "median " + form % statistics.median(values) + " (range " + form % min(values) + " - " + \
           form % max(values) + ")"


def launch_rounds(builds, root, megabytes, files, count):
    zip_path = make_package(root, megabytes, files, os.path.join(builds[0][1], "sample", "morvell-sample-app"), "6.1.17")
    setups = []
    for name, build in builds:
        setup = os.path.join(root, name, "Morvell-Setup")
        os.makedirs(os.path.dirname(setup))
        subprocess.run([os.path.join(builds[0][1], "morvell-pack"), "--installer",
                        os.path.join(build, "morvell-installer"), "--package", zip_path, "--output", setup],
                       check=True, stdout=subprocess.DEVNULL)
        setups.append((name, setup))
    app_log = os.path.join(root, "app.log")
    env = dict(os.environ, HOME=os.path.join(root, "home"), MORVELL_APP_LOG=app_log, MORVELL_APP_EXIT="1")
    env.pop("DISPLAY", None)
    rows = []
    cold = True
    for index in range(count):
        row = {}
        # What runs right after a tree of thousands of files was deleted creates its files more
        # slowly (the file system steps over the inodes just freed): bsdtar goes first in every
        # other round and last in the others, so that neither side always pays for that.
        def untar():
            nonlocal cold
            folder = os.path.join(root, "bsdtar")
            os.makedirs(folder)
            cold = drop_caches() and cold
            row["tar"], _ = timed(["bsdtar", "-xf", zip_path], cwd=folder)
            shutil.rmtree(folder)
        if index % 2 == 0:
            untar()
        for name, setup in (setups if index % 2 == 0 else setups[::-1]):
            target = os.path.join(root, "Morvell")
            cold = drop_caches() and cold
            row[name + " fresh"] = install(setup, target, env, app_log)
            cold = drop_caches() and cold
            row[name + " over"] = install(setup, target, env, app_log)
            for leftover in (target, target + ".old", target + ".new"):
                shutil.rmtree(leftover, ignore_errors=True)
        if index % 2 == 1:
            untar()
        rows.append(row)
    return rows, cold, os.path.getsize(zip_path) / 1048576.0


def sha_rounds(builds, root, megabytes, count):
    path = os.path.join(root, "sha.bin")
    with open(path, "wb") as out:
        for _ in range(megabytes):
            out.write(os.urandom(1048576))
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL)   # into the page cache
    rates = {name: [] for name, _ in builds}
    for _ in range(count):
        for name, build in builds:
            out = subprocess.run([os.path.join(build, "morvell-bench-catalogue"), "sha256", path],
                                 capture_output=True, text=True).stdout
            seconds = float(re.search(r"seconds=([0-9.]+)", out).group(1))
            rates[name].append(megabytes / seconds)
    openssl = {}
    for label, extra in (("cpu", []), ("elapsed", ["-elapsed"])):
        out = subprocess.run(["openssl", "speed"] + extra + ["-evp", "sha256", "-bytes", "1048576", "-seconds", "3"],
                             capture_output=True, text=True).stdout
        line = [l for l in out.splitlines() if l.startswith("sha256")][-1]
        openssl[label] = float(line.split()[-1].rstrip("k")) * 1000 / 1048576.0
    return rates, openssl


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    baseline = sys.argv[2] if len(sys.argv) > 2 and sys.argv[2] != "-" else ""
    megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    files = int(sys.argv[4]) if len(sys.argv) > 4 else 5000
    count = int(sys.argv[5]) if len(sys.argv) > 5 else 5
    sha_mb = int(sys.argv[6]) if len(sys.argv) > 6 else 1024
    builds = [("this", build)] + ([("baseline", os.path.abspath(baseline))] if baseline else [])
    root = tempfile.mkdtemp(prefix="morvell-launch-")
    try:
        rows, cold, zip_mb = launch_rounds(builds, root, megabytes, files, count)
        rates, openssl = sha_rounds(builds, root, sha_mb, 3)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("package %.0f MB, %d files; %d paired rounds, %s" % (zip_mb, files, count,
          "caches dropped before every run" if cold else "caches warm"))
    for i, row in enumerate(rows, 1):
        text = "  round %d: bsdtar -xf %.2f s" % (i, row["tar"])
        for key in sorted(k for k in row if k != "tar"):
            launched, whole, code = row[key]
            text += "; %s: launch %.2f s, exit %.2f s (%s)" % (key, launched, whole if whole else float("nan"), code)
        print(text)
    print("bsdtar -xf: " + spread([r["tar"] for r in rows], "%.2f s"))
    failed = False
    for name, _ in builds:
        for case, what in (("fresh", "offline silent install into an empty folder"),
                           ("over", "offline silent install over the installation")):
            key = name + " " + case
            launch = [r[key][0] for r in rows]
            whole = [r[key][1] for r in rows]
            ratio = [r[key][0] / r["tar"] for r in rows]
            failed = failed or any(r[key][2] != 0 for r in rows)
            print("%s, %s:" % (name, what))
            print("    time to launch " + spread(launch, "%.2f s") + "; whole install " + spread(whole, "%.2f s"))
            print("    time to launch / bsdtar: " + spread(ratio, "%.2fx") + " (goal: median <= 1.10x)")
    print("SHA-256 of %d MiB in the page cache (3 rounds): openssl speed -evp sha256 -bytes 1048576: %.0f MiB/s "
          "by CPU time, %.0f MiB/s by the clock" % (sha_mb, openssl["cpu"], openssl["elapsed"]))
    for name, _ in builds:
        rate = statistics.median(rates[name])
        print("    %s sha256_file_hex: %s; %.2fx openssl (CPU time), %.2fx (clock) (goal: >= 0.9x)"
              % (name, spread(rates[name], "%.0f MiB/s"), rate / openssl["cpu"], rate / openssl["elapsed"]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
