#!/usr/bin/env python3
"""Each layer of src/ includes only its own headers and those of the layers below it.

Every include under src/ is read and held to the layer order; then, in a scratch copy of the
project, one include of a higher layer is planted into a file of each lower layer, and the build
of that file must stop while the same file builds without it.

usage: check_layers.py SOURCE_DIR CMAKE_COMMAND
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The layers each layer may include besides itself.
BELOW = {
    "platform": set(),
    "common": {"platform"},
    "package": {"common", "platform"},
    "install": {"package", "common", "platform"},
    "catalogue": {"common", "platform"},
    "flows": {"install", "catalogue", "package", "common", "platform"},
    "app": {"flows", "install", "catalogue", "package", "common", "platform"},
}
# A file of a lower layer and a header of a layer above it.
PLANTED = [
    ("platform/fault_seam.cpp", "common/strings.h"),
    ("common/strings.cpp", "package/payload.h"),
    ("package/verify.cpp", "install/lock.h"),
    ("install/lock.cpp", "catalogue/manifest.h"),
    ("catalogue/manifest.cpp", "install/record.h"),
    ("flows/uninstall.cpp", "app/cmdline.h"),
]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def misplaced_includes(src):
    found = []
    for layer in BELOW:
        for folder, _, files in os.walk(os.path.join(src, layer)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                for included in INCLUDE.findall(text):
                    top = included.split("/")[0]
                    if included.startswith("..") or (top in BELOW and top != layer and top not in BELOW[layer]):
                        found.append(f"{os.path.relpath(path, src)} includes {included}")
    return found


def builds(cmake, scratch, source):
    layer_dir = os.path.join(scratch, "build", "src")
    done = subprocess.run(["make", "-C", layer_dir, source + ".o"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=600)
    return done.returncode == 0, done.stdout


def main():
    source_dir, cmake = sys.argv[1], sys.argv[2]
    src = os.path.join(source_dir, "src")
    failures = misplaced_includes(src)
    with tempfile.TemporaryDirectory(prefix="morvell-layers-") as scratch:
        for part in ("CMakeLists.txt", "cmake", "src", "res"):
            origin = os.path.join(source_dir, part)
            (shutil.copytree if os.path.isdir(origin) else shutil.copy)(origin, os.path.join(scratch, part))
        subprocess.run([cmake, "-S", scratch, "-B", os.path.join(scratch, "build"), "-G", "Unix Makefiles",
                        "-DCMAKE_BUILD_TYPE=Debug", "-DMORVELL_TESTS=OFF", "-DMORVELL_WITH_GTK=OFF"],
                       check=True, stdout=subprocess.DEVNULL, timeout=600)
        for source, header in PLANTED:
            ok, output = builds(cmake, scratch, source)
            if not ok:
                failures.append(f"{source} does not build as it is:\n{output}")
                continue
            path = os.path.join(scratch, "src", source)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            with open(path, "w", encoding="utf-8") as f:
                f.write(f'#include "{header}"\n' + text)
            ok, output = builds(cmake, scratch, source)
            if ok:
                failures.append(f"{source} still builds with #include \"{header}\"")
            elif header not in output:
                failures.append(f"{source} with #include \"{header}\" failed for another reason:\n{output}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
