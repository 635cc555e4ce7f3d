#!/usr/bin/env python3
"""Benchmarks of KestrineService against the standard tools that do the same
work, measured in the same run on the same warm file trees.

  "Copy Folder Paths" on the root of a tree
      against `find ROOT -type d`, `bfs ROOT -type d` and
      `fdfind -u -t d . ROOT` (parallel), on three trees:
      - 101,111 folders: fanout 10 to depth 3, then 100 empty leaves under
        each bottom folder, a file in every 7th folder;
      - 20,111 folders: fanout 10 to depth 2, then 200 leaves under each
        bottom folder, a file in every folder;
      - with KESTRINE_BENCH_1M=1, 1,011,111 folders: the first shape one
        level deeper (it takes minutes to build and a few GB of inodes).
  "Copy Posix Path" on 10,000 files
      against `realpath` on the same files

The tree is written out and each command runs once untimed first; then the
commands run in turn, one run of each per round, so that a change of the
machine's load touches all alike; the figures are medians over the rounds.
For each peer it prints the wall time, the ratio of wall times (ours /
theirs: lower is better), the same ratio of processor time (user and
system, which a busy machine disturbs less) and the peak resident memory of
each, and for the folder walk the system calls per folder (counted by
strace, when it is installed). The load average is printed before and
after, since wall times follow it.
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


def run_once(argv, env):
    """Wall seconds, peak RSS (KiB) and processor seconds (user and system)
    of one run.

    The peak is read by GNU time, whose own small child runs the program: a
    child of this interpreter would count the interpreter's memory in its
    peak until it execs."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        code = subprocess.call(["/usr/bin/time", "-o", report.name, "-f", "%M %U %S"] + argv,
                               env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wall = time.perf_counter() - start
        if code != 0:
            sys.exit(f"{argv[0]} exited with {code}")
        peak, user, system = report.read().split()[-3:]
        return wall, int(peak), float(user) + float(system)


def measure_in_turn(commands, env, runs):
    """Runs each of `commands` (name -> argv) once per round, `runs` rounds,
    and returns name -> (median wall, max peak KiB, median processor).

    The tree is written out first and each command runs once untimed, so
    that every timed run finds it warm: a freshly built tree of a million
    folders is still being written back for many seconds, and the first
    walk would read what the later ones find in memory."""
    os.sync()
    for argv in commands.values():
        run_once(argv, env)
    samples = {name: [] for name in commands}
    for _ in range(runs):
        for name, argv in commands.items():
            samples[name].append(run_once(argv, env))
    return {name: (statistics.median(s[0] for s in got), max(s[1] for s in got),
                   statistics.median(s[2] for s in got))
            for name, got in samples.items()}


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


def load():
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def folder_peers(tree):
    """The peers that list the folders of `tree`, those that are installed."""
    peers = {"find -type d": ["find", tree, "-type", "d"]}
    if shutil.which("bfs"):
        peers["bfs -type d"] = ["bfs", tree, "-type", "d"]
    if shutil.which("fdfind"):
        peers["fdfind -u -t d"] = ["fdfind", "-u", "-t", "d", ".", tree]
    return peers


def bench_tree(label, tree, folders, service, env, runs, clip, count_calls):
    """Times "Copy Folder Paths" on `tree` against its peers; returns ours."""
    ours = [service, "Copy Folder Paths", tree]
    commands = {"Copy Folder Paths": ours}
    commands.update(folder_peers(tree))
    results = measure_in_turn(commands, env, runs)
    with open(clip) as f:
        lines = f.read().count("\n")
    if lines != folders:
        sys.exit(f"Copy Folder Paths listed {lines} folders, expected {folders}")
    print(f"{label}: {folders} folders, {runs} rounds, {load()}")
    mine = results.pop("Copy Folder Paths")
    report("Copy Folder Paths", mine, results)
    if count_calls:
        counts = {name: syscalls(argv, env) for name, argv in commands.items()}
        if None in counts.values():
            print("  system calls per folder: strace is not installed")
        else:
            print("  system calls per folder: " +
                  " | ".join(f"{name} {n / folders:.2f}" for name, n in counts.items()))
    return mine


def report(name, ours, peers):
    print(f"  {name}: {ours[0] * 1000:.0f} ms, processor {ours[2] * 1000:.0f} ms, "
          f"peak {ours[1] / 1024:.1f} MiB")
    for peer, theirs in peers.items():
        print(f"  {peer}: {theirs[0] * 1000:.0f} ms, processor {theirs[2] * 1000:.0f} ms, "
              f"peak {theirs[1] / 1024:.1f} MiB | ratio {ours[0] / theirs[0]:.2f} "
              f"(processor time {ours[2] / theirs[2]:.2f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--service", required=True, help="the KestrineService program")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--million", action="store_true",
                        default=os.environ.get("KESTRINE_BENCH_1M") == "1",
                        help="also the tree of 1,011,111 folders (KESTRINE_BENCH_1M=1)")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="kestrine-bench-")
    try:
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
        env["XDG_CONFIG_HOME"] = os.path.join(work, "config")
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
        clip = os.path.join(env["XDG_RUNTIME_DIR"], "kestrine", "clipboard")
        print(f"before: {load()}")

        trees = [("tree of 101,111 folders", (10, 4, 100, 7)),
                 ("tree of 20,111 folders, a file in each", (10, 3, 200, 1))]
        if args.million:
            trees.append(("tree of 1,011,111 folders", (10, 5, 100, 7)))
        walks = []
        for index, (label, shape) in enumerate(trees):
            tree = os.path.join(work, f"tree{index}")
            os.mkdir(tree)
            start = time.perf_counter()
            folders = build_tree(tree, *shape) + 1
            print(f"{label}: built in {time.perf_counter() - start:.1f} s")
            runs = args.runs if folders < 500000 else max(3, args.runs // 2)
            walks.append(bench_tree(label, tree, folders, args.service, env, runs, clip,
                                    count_calls=index == 0))
            if folders >= 500000:
                print(f"  1 M / 101 k: time {walks[-1][0] / walks[0][0]:.1f} x "
                      f"(processor {walks[-1][2] / walks[0][2]:.1f} x)")
                shutil.rmtree(tree, ignore_errors=True)

        files = []
        flat = os.path.join(work, "files")
        os.mkdir(flat)
        for i in range(10000):
            path = os.path.join(flat, f"file {i:05d}.txt")
            with open(path, "w") as f:
                f.write("x")
            files.append(path)
        results = measure_in_turn({"ours": [args.service, "Copy Posix Path"] + files,
                                   "realpath": ["realpath"] + files}, env, args.runs)
        with open(clip) as f:
            if f.read() != "\n".join(files):
                sys.exit("Copy Posix Path did not copy the 10,000 paths")
        print(f"10,000 files, {args.runs} rounds, {load()}")
        report("Copy Posix Path", results.pop("ours"), results)
        print(f"after: {load()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
