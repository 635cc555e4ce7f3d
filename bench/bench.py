#!/usr/bin/env python3
"""Benchmarks of KestrineService against the standard tools that do the same
work, measured in the same run on the same warm file tree.

  "Copy Folder Paths" on the root of a tree of 100,000 folders
      against `find ROOT -type d`
  "Copy Posix Path" on 10,000 files
      against `realpath` on the same files

Prints the median wall time of each, the ratio (ours / theirs: at most 1.0
is the goal, 0.6 for the folder walk), the same ratio of processor time
(user and system, which a busy machine disturbs less), the peak resident
memory of each process, and for the folder walk the system calls per folder
of each (counted by strace, when it is installed).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def build_tree(root, fanout, depth, leaves, files_every):
    """Creates folders fanout^(depth-1) * leaves deep and returns the count."""
    count = 0
    level = [root]
    for d in range(depth):
        width = leaves if d == depth - 1 else fanout
        nxt = []
        for parent in level:
            for i in range(width):
                path = os.path.join(parent, f"d{i:03d}")
                os.mkdir(path)
                nxt.append(path)
                count += 1
                if count % files_every == 0:
                    with open(os.path.join(path, "notes.txt"), "w") as f:
                        f.write("x")
        level = nxt
    return count


def measure(argv, env, runs):
    """Median wall seconds, peak RSS (KiB) and median processor seconds (user
    and system) over `runs` runs.

    The peak is read by GNU time, whose own small child runs the program: a
    child of this interpreter would count the interpreter's memory in its
    peak until it execs."""
    times, peaks, cpus = [], [], []
    for _ in range(runs):
        with tempfile.NamedTemporaryFile("r") as report:
            start = time.perf_counter()
            code = subprocess.call(["/usr/bin/time", "-o", report.name, "-f", "%M %U %S"] + argv,
                                   env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times.append(time.perf_counter() - start)
            if code != 0:
                sys.exit(f"{argv[0]} exited with {code}")
            peak, user, system = report.read().split()[-3:]
            peaks.append(int(peak))
            cpus.append(float(user) + float(system))
    return statistics.median(times), max(peaks), statistics.median(cpus)


def syscalls(argv, env):
    """The number of system calls `argv` makes, its children included, as
    strace counts them; None when strace is not installed."""
    if shutil.which("strace") is None:
        return None
    with tempfile.NamedTemporaryFile("r") as summary:
        subprocess.call(["strace", "-f", "-c", "-o", summary.name] + argv, env=env,
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        for line in summary.read().splitlines():
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--service", required=True, help="the KestrineService program")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kestrine-bench-")
    try:
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
        env["XDG_CONFIG_HOME"] = os.path.join(work, "config")
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)

        tree = os.path.join(work, "tree")
        os.mkdir(tree)
        start = time.perf_counter()
        folders = build_tree(tree, fanout=10, depth=4, leaves=100, files_every=7) + 1
        print(f"tree: {folders} folders built in {time.perf_counter() - start:.1f} s")

        ours = measure([args.service, "Copy Folder Paths", tree], env, args.runs)
        theirs = measure(["find", tree, "-type", "d"], env, args.runs)
        clip = os.path.join(env["XDG_RUNTIME_DIR"], "kestrine", "clipboard")
        with open(clip) as f:
            lines = f.read().count("\n")
        if lines != folders:
            sys.exit(f"Copy Folder Paths listed {lines} folders, expected {folders}")
        report("Copy Folder Paths", ours, "find -type d", theirs)
        ours_calls = syscalls([args.service, "Copy Folder Paths", tree], env)
        theirs_calls = syscalls(["find", tree, "-type", "d"], env)
        if ours_calls is None or theirs_calls is None:
            print("system calls per folder: strace is not installed")
        else:
            print(f"system calls per folder: Copy Folder Paths {ours_calls / folders:.2f} | "
                  f"find -type d {theirs_calls / folders:.2f}")

        files = []
        flat = os.path.join(work, "files")
        os.mkdir(flat)
        for i in range(10000):
            path = os.path.join(flat, f"file {i:05d}.txt")
            with open(path, "w") as f:
                f.write("x")
            files.append(path)
        ours = measure([args.service, "Copy Posix Path"] + files, env, args.runs)
        theirs = measure(["realpath"] + files, env, args.runs)
        with open(clip) as f:
            if f.read() != "\n".join(files):
                sys.exit("Copy Posix Path did not copy the 10,000 paths")
        report("Copy Posix Path x10000", ours, "realpath", theirs)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(name, ours, peer, theirs):
    print(f"{name}: {ours[0] * 1000:.1f} ms, peak {ours[1] / 1024:.1f} MiB | "
          f"{peer}: {theirs[0] * 1000:.1f} ms, peak {theirs[1] / 1024:.1f} MiB | "
          f"ratio {ours[0] / theirs[0]:.2f} (processor time {ours[2] / theirs[2]:.2f})")


if __name__ == "__main__":
    main()
