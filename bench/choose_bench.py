#!/usr/bin/env python3
"""Times `KestrineMBI --choose 1` on one selected file, as a keyboard shortcut
runs it: a whole process, against a real serving Finder, in a user folder of
its own. Prints the median and the spread of 41 runs, beside `--version` (the
program's start alone) for comparison.

    bench/choose_bench.py [BUILD_DIR]   (default: build)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
PROGRAM = os.path.join(BUILD, "KestrineMBI", "KestrineMBI")
FINDER = os.path.join(BUILD, "finder", "kestrine-finder")
GOAL_MS = 30.0


def times(argv, env, runs):
    """Wall-clock milliseconds of each of `runs` runs of `argv`."""
    spent = []
    for _ in range(runs):
        start = time.perf_counter()
        status = subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        spent.append((time.perf_counter() - start) * 1000)
        if status != 0:
            sys.exit(f"choose_bench: {' '.join(argv)} ended with status {status}")
    return spent


def main():
    subprocess.run(["cmake", "--build", BUILD, "--target", "KestrineMBI", "kestrine-finder"], check=True,
                   stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, HOME=os.path.join(root, "home"), XDG_RUNTIME_DIR=os.path.join(root, "run"),
                   XDG_CONFIG_HOME=os.path.join(root, "config"), XDG_CONFIG_DIRS=os.path.join(root, "etc"))
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            env.pop(name, None)
        for folder in ("home", "run", "config", "etc"):
            os.makedirs(os.path.join(root, folder), mode=0o700)
        chosen = os.path.join(root, "home", "Q3 Report.pdf")
        with open(chosen, "w") as f:
            f.write("x")
        finder = subprocess.Popen([FINDER, "serve"], env=env, stdout=subprocess.PIPE, text=True)
        try:
            if finder.stdout.readline().strip() != "ready":
                sys.exit("choose_bench: the Finder did not start")
            subprocess.run([FINDER, "select", chosen], env=env, check=True, stdout=subprocess.DEVNULL)
            times([PROGRAM, "--choose", "1"], env, 3)
            for label, argv in (("--choose 1 on one file", [PROGRAM, "--choose", "1"]),
                                ("--version", [PROGRAM, "--version"])):
                spent = times(argv, env, 41)
                print(f"KestrineMBI {label}: median {statistics.median(spent):.1f} ms, "
                      f"min {min(spent):.1f} ms, max {max(spent):.1f} ms (41 runs)")
                if label.startswith("--choose"):
                    choose = statistics.median(spent)
        finally:
            finder.terminate()
            finder.wait()
    print(f"goal: --choose under {GOAL_MS:.0f} ms: {'met' if choose < GOAL_MS else 'MISSED'}")
    libraries = subprocess.run(["ldd", PROGRAM], capture_output=True, text=True).stdout
    toolkit = sorted({line.split()[0] for line in libraries.splitlines() if "libQt" in line})
    print("toolkit libraries loaded by KestrineMBI:", ", ".join(toolkit) if toolkit else "none")


if __name__ == "__main__":
    main()
