#!/usr/bin/env python3
"""Silent install from an offline installer against `bsdtar -xf` of the same zip.

usage: offline_install.py <build dir> [megabytes] [files]

Builds a package of <files> files (<megabytes> MB in total, incompressible), packs it into an
offline installer with morvell-pack, then times, in the same run, `bsdtar -xf` of the zip and
`--silent-install` of the offline installer (no shortcuts, no launch). Peak memory is the
largest resident set of the installer's process tree (getrusage of the waited-for child);
a smaller package is installed too, to show that it does not grow with the package size.
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def make_package(root, megabytes, files):
    tree = os.path.join(root, "tree")
    per_file = megabytes * 1024 * 1024 // files
    for i in range(files):
        folder = os.path.join(tree, "data", "d%03d" % (i // 100))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%05d.bin" % i), "wb") as out:
            out.write(os.urandom(per_file))
    os.makedirs(os.path.join(tree, "bin"), exist_ok=True)
    os.makedirs(os.path.join(tree, "config"), exist_ok=True)
    shutil.copy("/bin/true", os.path.join(tree, "bin", "Morvell.exe"))
    with open(os.path.join(tree, "config", "settings.ini"), "w") as out:
        out.write("[general]\n")
    zip_path = os.path.join(root, "package.zip")
    subprocess.run(["zip", "-q", "-r", "-1", zip_path, "."], cwd=tree, check=True)
    shutil.rmtree(tree)
    return zip_path


def timed(args, env=None, cwd=None):
    start = time.monotonic()
    child = subprocess.Popen(args, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.monotonic() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss, child.returncode


def run(build, megabytes, files):
    root = tempfile.mkdtemp(prefix="morvell-bench-")
    try:
        zip_path = make_package(root, megabytes, files)
        setup = os.path.join(root, "pack", "Morvell-Setup.exe")
        os.makedirs(os.path.dirname(setup))
        subprocess.run([os.path.join(build, "morvell-pack"), "--installer", os.path.join(build, "morvell-installer"),
                        "--package", zip_path, "--output", setup], check=True, stdout=subprocess.DEVNULL)
        os.makedirs(os.path.join(root, "bsdtar"))
        subprocess.run(["sync"])
        tar_time, tar_rss, tar_code = timed(["bsdtar", "-xf", zip_path], cwd=os.path.join(root, "bsdtar"))
        shutil.rmtree(os.path.join(root, "bsdtar"))
        env = dict(os.environ, HOME=os.path.join(root, "home"))
        env.pop("DISPLAY", None)
        subprocess.run(["sync"])
        target = os.path.join(root, "Morvell")
        inst_time, inst_rss, inst_code = timed(
            [setup, "--silent-install", "--no-launch", "--no-desktop-shortcut", "--no-start-menu-shortcut",
             "--install-dir", target], env=env)
        installed = sum(len(f) for _, _, f in os.walk(target))
        return dict(zip_mb=os.path.getsize(zip_path) / 1048576, tar_time=tar_time, tar_rss=tar_rss,
                    tar_code=tar_code, inst_time=inst_time, inst_rss=inst_rss, inst_code=inst_code,
                    installed=installed)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    megabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    files = int(sys.argv[3]) if len(sys.argv) > 3 else 5000
    small = run(build, max(1, megabytes // 10), max(1, files // 10))
    big = run(build, megabytes, files)
    for name, r in (("small", small), ("large", big)):
        print("%-5s package %.0f MB: bsdtar -xf %.2f s (exit %d, peak %d KB); silent install %.2f s "
              "(exit %d, peak %d KB, %d files installed)"
              % (name, r["zip_mb"], r["tar_time"], r["tar_code"], r["tar_rss"], r["inst_time"], r["inst_code"],
                 r["inst_rss"], r["installed"]))
    ratio = big["inst_time"] / big["tar_time"] if big["tar_time"] > 0 else float("inf")
    print("ratio silent install / bsdtar: %.2fx (goal <= 1.5x)" % ratio)
    print("peak memory: %d KB with %.0f MB, %d KB with %.0f MB"
          % (small["inst_rss"], small["zip_mb"], big["inst_rss"], big["zip_mb"]))
    return 0 if big["inst_code"] == 0 and small["inst_code"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
