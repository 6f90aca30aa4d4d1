#!/usr/bin/env python3
"""Publishing a release of many small files: `updater-publish release` at
several sizes against the work it cannot avoid, measured in the same run
(copying the tree with `cp -a`, digesting every file with `md5sum` and
`sha256sum`, and `sync`). Prints the time per file at each size, so that
growth that is not linear shows, and the ratio to the reference (below 1:
the publisher is faster than the reference).

    python3 bench/publish_bench.py --build build [--sizes 5000,20000,60000]
"""
import argparse
import os
import shutil
import subprocess
import tempfile
import time


def make_tree(root, count):
    # A hundred files per directory, as a game's asset folders are.
    for i in range(count):
        folder = os.path.join(root, "data", "d%04d" % (i // 100))
        if i % 100 == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "asset_%d.pak" % i), "wb") as f:
            f.write(os.urandom(64 + i % 512))


def timed(command, **kwargs):
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.monotonic() - start


def reference(src, dst):
    start = time.monotonic()
    subprocess.run(["cp", "-a", src, dst], check=True)
    for tool in ("md5sum", "sha256sum"):
        subprocess.run("find . -type f -print0 | xargs -0 %s > /dev/null" % tool, shell=True, check=True, cwd=src)
    subprocess.run(["sync"], check=True)
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--sizes", default="5000,20000,60000")
    args = parser.parse_args()
    publish = os.path.join(args.build, "bin", "updater-publish")
    print("%8s %12s %12s %14s %8s" % ("files", "publisher s", "reference s", "publisher ms/file", "ratio"))
    for count in (int(s) for s in args.sizes.split(",")):
        work = tempfile.mkdtemp(prefix="publish-bench-")
        try:
            src = os.path.join(work, "game")
            make_tree(src, count)
            subprocess.run(["sync"], check=True)
            ours = timed([publish, "release", "--version", "1", "--from", src, "--to", os.path.join(work, "server")])
            subprocess.run(["sync"], check=True)
            ref = reference(src, os.path.join(work, "copy"))
            print("%8d %12.2f %12.2f %14.3f %8.2f" % (count, ours, ref, ours * 1000 / count, ours / ref))
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
