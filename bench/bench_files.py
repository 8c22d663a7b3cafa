"""What the install benches share: the package they install and the dropping of the page cache."""
import os
import shutil
import subprocess


def make_package(root, megabytes, files, app="/bin/true", version=None):
    """A zip of <files> incompressible files (<megabytes> MB in all), with <app> as bin/Morvell.exe."""
    tree = os.path.join(root, "tree")
    per_file = megabytes * 1024 * 1024 // files
    for i in range(files):
        folder = os.path.join(tree, "data", "d%03d" % (i // 100))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%05d.bin" % i), "wb") as out:
            out.write(os.urandom(per_file))
    os.makedirs(os.path.join(tree, "bin"), exist_ok=True)
    os.makedirs(os.path.join(tree, "config"), exist_ok=True)
    shutil.copy(app, os.path.join(tree, "bin", "Morvell.exe"))
    if version:
        with open(os.path.join(tree, "version.txt"), "w") as out:
            out.write(version + "\n")
    with open(os.path.join(tree, "config", "settings.ini"), "w") as out:
        out.write("[general]\n")
    zip_path = os.path.join(root, "package.zip")
    subprocess.run(["zip", "-q", "-r", "-1", zip_path, "."], cwd=tree, check=True)
    shutil.rmtree(tree)
    return zip_path


def drop_caches(warm=False):
    """True when the page cache was dropped; False when the machine does not allow it (or warm)."""
    subprocess.run(["sync"])
    if warm:
        return False
    try:
        with open("/proc/sys/vm/drop_caches", "w") as out:
            out.write("3\n")
        return True
    except OSError:
        return False
