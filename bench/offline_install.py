#!/usr/bin/env python3
"""Silent install from an offline installer against `bsdtar -xf` of the same zip.

usage: offline_install.py <build dir> [megabytes] [files] [rounds] [warm]

Builds a package of <files> files (<megabytes> MB in total, incompressible), packs it into an
offline installer with morvell-pack, then runs <rounds> (5) paired rounds, each `bsdtar -xf` of
the zip and then `--silent-install` of the offline installer (no shortcuts, no launch), one right
after the other so that both meet the same machine. Before every run the page cache is dropped
where the machine allows it (root with a writable /proc/sys/vm/drop_caches); otherwise both run
warm (and with "warm" given they always do). Prints the median and the range of each time and of the ratio, and the installed size
beside the package's unpacked size (the goal: at most unpacked + 2 x the program's size).
Peak memory is the largest resident set of the installer's process tree (getrusage of the
waited-for child); a smaller package is installed too, to show that it does not grow with the
package size.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

from bench_files import drop_caches as drop_page_cache, make_package


WARM = False


def timed(args, env=None, cwd=None):
    start = time.monotonic()
    child = subprocess.Popen(args, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.monotonic() - start
    return elapsed, usage.ru_maxrss, os.waitstatus_to_exitcode(status)


def tree_size(root):
    """Bytes of the regular files under root (links not followed)."""
    total = 0
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                total += os.path.getsize(path)
    return total


def install(setup, target, env):
    return timed([setup, "--silent-install", "--no-launch", "--no-desktop-shortcut", "--no-start-menu-shortcut",
                  "--install-dir", target], env=env)


def rounds(build, root, megabytes, files, count):
    zip_path = make_package(root, megabytes, files)
    program = os.path.join(build, "morvell-installer")
    setup = os.path.join(root, "pack", "Morvell-Setup.exe")
    os.makedirs(os.path.dirname(setup))
    subprocess.run([os.path.join(build, "morvell-pack"), "--installer", program, "--package", zip_path,
                    "--output", setup], check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ, HOME=os.path.join(root, "home"))
    env.pop("DISPLAY", None)
    results = []
    for _ in range(count):
        untar = os.path.join(root, "bsdtar")
        os.makedirs(untar)
        cold = drop_page_cache(WARM)
        tar_time, tar_rss, tar_code = timed(["bsdtar", "-xf", zip_path], cwd=untar)
        shutil.rmtree(untar)
        target = os.path.join(root, "Morvell")
        cold = drop_page_cache(WARM) and cold
        inst_time, inst_rss, inst_code = install(setup, target, env)
        installed = tree_size(target)
        shutil.rmtree(target, ignore_errors=True)
        results.append(dict(tar_time=tar_time, tar_rss=tar_rss, tar_code=tar_code, inst_time=inst_time,
                            inst_rss=inst_rss, inst_code=inst_code, installed=installed, cold=cold))
    with zipfile.ZipFile(zip_path) as archive:
        unpacked = sum(entry.file_size for entry in archive.infolist())
    return dict(zip_mb=os.path.getsize(zip_path) / 1048576, unpacked=unpacked, program=os.path.getsize(program),
                rounds=results)


def spread(values, form):
    return "median " + form % statistics.median(values) + " (range " + form % min(values) + " - " + \
           form % max(values) + ")"


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 5000
    count = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    global WARM
    WARM = len(sys.argv) > 5 and sys.argv[5] == "warm"
    root = tempfile.mkdtemp(prefix="morvell-bench-")
    try:
        small = rounds(build, os.path.join(root, "small"), max(1, megabytes // 10), max(1, files // 10), 1)
        big = rounds(build, os.path.join(root, "large"), megabytes, files, count)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    runs = big["rounds"]
    mb = 1048576.0
    print("package %.0f MB, %d files; %d paired rounds, %s" % (big["zip_mb"], files, count,
          "caches dropped before every run" if all(r["cold"] for r in runs) else "caches warm"))
    for i, r in enumerate(runs, 1):
        print("  round %d: bsdtar -xf %.2f s (exit %d); silent install %.2f s (exit %d); ratio %.2fx"
              % (i, r["tar_time"], r["tar_code"], r["inst_time"], r["inst_code"], r["inst_time"] / r["tar_time"]))
    print("bsdtar -xf:     " + spread([r["tar_time"] for r in runs], "%.2f s"))
    print("silent install: " + spread([r["inst_time"] for r in runs], "%.2f s"))
    ratio = spread([r["inst_time"] / r["tar_time"] for r in runs], "%.2fx")
    print("ratio silent install / bsdtar: " + ratio + " (goal: median <= 1.5x)")
    limit = big["unpacked"] + 2 * big["program"]
    installed = runs[-1]["installed"]
    print("installed size %.1f MB; package unpacked %.1f MB, program %.1f MB; limit unpacked + 2 x program "
          "%.1f MB: %s" % (installed / mb, big["unpacked"] / mb, big["program"] / mb, limit / mb,
                           "within" if installed <= limit else "OVER"))
    print("peak memory: %d KB with %.0f MB, %d KB with %.0f MB"
          % (small["rounds"][0]["inst_rss"], small["zip_mb"], max(r["inst_rss"] for r in runs), big["zip_mb"]))
    codes = [r["inst_code"] for r in runs + small["rounds"]] + [r["tar_code"] for r in runs]
    return 0 if all(code == 0 for code in codes) else 1


if __name__ == "__main__":
    sys.exit(main())
