#!/usr/bin/env python3
"""Builds the C library (Release) and installs the korvani package with libkorvani_c.so inside
it, for the Python that runs this script:

    python3 bindings/python/install.py            # into this Python's site-packages
    python3 bindings/python/install.py --user     # into the user's site-packages
    python3 bindings/python/install.py --target DIR

Needs CMake and the project's build dependencies (./scripts/demo installs them). The package
loads the library from its own folder, so no LD_LIBRARY_PATH is needed.
"""

import argparse
import os
import shutil
import site
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Unix Makefiles",
                    "-DCMAKE_BUILD_TYPE=Release", "-DKORVANI_BUILD_TESTS=OFF",
                    "-DKORVANI_BUILD_TOOLS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2),
                    "--target", "korvani_python"], check=True)
    return os.path.join(build_dir, "bindings", "python", "korvani")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--user", action="store_true", help="the user's site-packages")
    where.add_argument("--target", help="this folder (put it on PYTHONPATH)")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "python"),
                        help="the CMake build tree (default: build/python)")
    options = parser.parse_args()

    staged = build(options.build_dir)
    if options.target:
        destination = options.target
    elif options.user:
        destination = site.getusersitepackages()
    else:
        destination = sysconfig.get_paths()["purelib"]
    package = os.path.join(destination, "korvani")
    if os.path.exists(package):
        shutil.rmtree(package)
    os.makedirs(destination, exist_ok=True)
    shutil.copytree(staged, package, ignore=shutil.ignore_patterns(".staged", "__pycache__"))

    # The installed package must import, from elsewhere, with its own library.
    environment = dict(os.environ, PYTHONPATH=destination) if options.target else None
    check = subprocess.run(
        [sys.executable, "-c", "import korvani; print(korvani.__file__, korvani.__version__)"],
        cwd="/", env=environment, capture_output=True, text=True)
    if check.returncode != 0:
        sys.exit(f"installed in {package}, but it does not import:\n{check.stderr}")
    print(f"installed: {check.stdout.strip()}")


if __name__ == "__main__":
    main()
