"""What the platform door's fault seam costs: the benchmarks built with the
seam (the bench preset) and without it (ZELK_FAULT_SEAM=OFF, its own build
folder), run in turn in one run, A B then B A, round after round, so that the
machine's drift weighs on both alike.

    python3 scripts/bench_seam.py [ROUNDS]

Prints, for each benchmark, the median over the rounds of its time with and
without the seam, and the median, least and greatest of the rounds' ratios
(with / without), wall clock and CPU time. The floors use no door: their
ratios show how far the run's noise alone reaches."""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILDS = {"with": ROOT / "build/bench", "without": ROOT / "build/bench-noseam"}
PROGRAMS = {
    "pipeline_bench": "^BM_(ForwardTransaction2|ForwardTransaction2HeldTarget|FloorPlainLoop"
                      "|FloorHeldTarget)$",
    "platform_bench": ".",
}
SCALE = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def build():
    """Configures and builds the two builds' benchmark programs."""
    configure = {"with": [], "without": ["-B", str(BUILDS["without"]), "-DZELK_FAULT_SEAM=OFF"]}
    for seam, extra in configure.items():
        subprocess.run(["cmake", "--preset", "bench", *extra], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(BUILDS[seam]), "-j2", "--target", *PROGRAMS],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def run(seam, program, pattern, scratch):
    """One run of `program` of the build `seam`, its files under `scratch`:
    {benchmark: (wall ns, cpu ns)}."""
    out = subprocess.run(
        [str(BUILDS[seam] / "bench" / program), f"--benchmark_filter={pattern}",
         "--benchmark_min_time=0.5", "--benchmark_format=json"],
        cwd=ROOT, check=True, capture_output=True, text=True,
        env=dict(os.environ, TMPDIR=scratch)).stdout
    return {b["name"]: (b["real_time"] * SCALE[b["time_unit"]],
                        b["cpu_time"] * SCALE[b["time_unit"]])
            for b in json.loads(out)["benchmarks"]}


def show(ns):
    return f"{ns / 1e3:.2f} µs" if ns >= 1e3 else f"{ns:.0f} ns"


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    build()
    times = {"with": {}, "without": {}}
    # Folders of the run's own, so that no other run's benchmark shares them.
    scratch = tempfile.mkdtemp(prefix="zelk-bench-seam-")
    for index in range(rounds):
        order = ["with", "without"] if index % 2 == 0 else ["without", "with"]
        for program, pattern in PROGRAMS.items():
            for seam in order:
                for name, pair in run(seam, program, pattern, scratch).items():
                    times[seam].setdefault(name, []).append(pair)
        print(f"round {index + 1} of {rounds}", file=sys.stderr)
    os.rmdir(scratch)
    print(f"{rounds} rounds; medians over them, the ratio with / without the seam")
    print("| benchmark | clock | with | without | ratio (median) | least | greatest |")
    print("|---|---|---|---|---|---|---|")
    for name in times["with"]:
        for clock, what in ((0, "wall"), (1, "CPU")):
            a = [pair[clock] for pair in times["with"][name]]
            b = [pair[clock] for pair in times["without"][name]]
            ratios = [x / y for x, y in zip(a, b)]
            print(f"| {name} | {what} | {show(statistics.median(a))} | "
                  f"{show(statistics.median(b))} | {statistics.median(ratios):.3f} | "
                  f"{min(ratios):.3f} | {max(ratios):.3f} |")


if __name__ == "__main__":
    main()
