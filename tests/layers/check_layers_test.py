#!/usr/bin/env python3
"""scripts/check-layers on a copy of the tree: it passes on the tree as it
is, and fails, naming the file and both layers, on one upward include
planted in it."""
import pathlib
import shutil
import subprocess
import sys
import tempfile

root = pathlib.Path(__file__).resolve().parents[2]


def run(tree):
    return subprocess.run([sys.executable, str(tree / "scripts" / "check-layers")],
                          capture_output=True, text=True)


def main():
    with tempfile.TemporaryDirectory() as scratch:
        tree = pathlib.Path(scratch)
        shutil.copytree(root / "src", tree / "src")
        shutil.copytree(root / "scripts", tree / "scripts")
        shutil.copy(root / "README.md", tree / "README.md")
        clean = run(tree)
        if clean.returncode != 0:
            print("the tree as it is fails:\n" + clean.stdout)
            return 1
        (tree / "src" / "base" / "planted.h").write_text(
            '#pragma once\n#include "tracking/track_table.h"\n')
        planted = run(tree)
        expected = "src/base/planted.h: base/ (layer 1) includes tracking/ (layer 4)"
        if planted.returncode != 1 or expected not in planted.stdout:
            print("the planted include was not caught:\n" + planted.stdout)
            return 1
    print("check-layers passes the tree and catches the planted include")
    return 0


if __name__ == "__main__":
    sys.exit(main())
