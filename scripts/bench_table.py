"""Prints the benchmark table: each benchmark beside its floor, with the ratio
of their median wall-clock times, from the JSON files of one run.

    python3 scripts/bench_table.py FOLDER [--cpu]

With --cpu the medians are of CPU time (the process's, system calls
included), which a machine busy with other work disturbs less."""
import json
import pathlib
import sys

# (what is measured, benchmark, floor, target ratio or None)
PAIRS = [
    ("Door, one positioned write of a line to a held file", "BM_DoorWriteAt",
     "BM_FloorWriteAt", None),
    ("Door, a target opened and held, a line written, closed", "BM_DoorOpenWriteClose",
     "BM_FloorOpenWriteClose", None),
    ("ExtFormat, default line format", "BM_ExtFormatLine", "BM_SnprintfLine", 1.5),
    ("Config snapshot, every key of a transaction", "BM_SnapshotEveryTransactionKey",
     "BM_FloorReadFileBytes", None),
    ("Config kept snapshot, file unchanged, every key of a transaction",
     "BM_KeptSnapshotEveryTransactionKey", "BM_FloorOneLookAndKeys", None),
    ("Trim 100 MB of 80-byte lines to 1000", "BM_TrimToLastLines/iterations:30",
     "BM_FloorTailAndTruncate/iterations:30", 2.0),
    ("Trim floor's pieces: the truncation alone, beside tail alone",
     "BM_TruncateOnly/iterations:30", "BM_TailFloor/iterations:30", None),
    ("LogMessage, MaxLines -1", "BM_LogMessage/-1", "BM_AppendFloor", 1.3),
    ("LogMessage, MaxLines 50", "BM_LogMessage/50", "BM_AppendFloor", None),
    ("CheckJobno, match on line 1,000,000", "BM_CheckJobnoLastLine", "BM_FloorCountLines", 1.2),
    ("CheckJobno, digit job number on line 1,000,000 of digit ones", "BM_CheckJobnoDigitKey",
     "BM_FloorCountDigitLines", 1.2),
    ("CheckJobno, letter job number on line 1,000,000 of letter ones", "BM_CheckJobnoLetterKey",
     "BM_FloorCountLetterLines", 1.2),
    ("CheckJobno, mixed job number on line 1,000,000 of mixed ones", "BM_CheckJobnoMixedKey",
     "BM_FloorCountMixedLines", 1.2),
    ("ForwardTransaction2, typical configuration", "BM_ForwardTransaction2",
     "BM_FloorPlainLoop", 1.3),
    ("ForwardTransaction2, StatusFolder set, beside no StatusFolder",
     "BM_ForwardTransaction2StatusFile", "BM_ForwardTransaction2", None),
    ("ForwardTransaction2, held target (MaxLines1=1000, full)",
     "BM_ForwardTransaction2HeldTarget", "BM_FloorHeldTarget", 2.5),
    ("ForwardTransaction2, Sync1=1, beside no Sync1", "BM_ForwardTransaction2Sync",
     "BM_ForwardTransaction2", None),
    ("ForwardTransaction2, held target, Sync1=1, beside no Sync1",
     "BM_ForwardTransaction2HeldTargetSync", "BM_ForwardTransaction2HeldTarget", None),
    ("ForwardTransaction2, SpoolFolder set, nothing waits, beside no SpoolFolder",
     "BM_SpoolEmptyTargetPresent", "BM_SpoolOffTargetPresent", 1.1),
    ("ForwardTransaction2, target away: the line to the spool, flushed, beside an append",
     "BM_SpoolTargetAway", "BM_SpoolOffTargetPresent", None),
    ("Spool delivery through a 4 MB damaged stretch, beside 256 KB (linear: 16)",
     "BM_SpoolDeliverDamaged/4194304", "BM_SpoolDeliverDamaged/262144", 20.0),
]
PIECES = ["BM_PieceSnapshot", "BM_PieceSnapshotRead", "BM_PieceRender", "BM_PieceLogMessage"]
SCALE = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def medians(folder, clock):
    times = {}
    for path in pathlib.Path(folder).glob("*.json"):
        for run in json.loads(path.read_text())["benchmarks"]:
            if run.get("aggregate_name") == "median":
                times[run["run_name"]] = run[clock] * SCALE[run["time_unit"]]
    return times


def show(ns):
    for unit, scale in (("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.2f} {unit}"
    return f"{ns:.0f} ns"


def main():
    clock = "cpu_time" if "--cpu" in sys.argv[2:] else "real_time"
    times = medians(sys.argv[1], clock)
    print("| measured | benchmark | floor | ratio | target |")
    print("|---|---|---|---|---|")
    for what, bench, floor, target in PAIRS:
        if bench not in times or floor not in times:
            print(f"| {what} | (not run) | | | |")
            continue
        ratio = times[bench] / times[floor]
        goal = "" if target is None else f"≤ {target}" + (" ✓" if ratio <= target else " ✗")
        print(f"| {what} | {show(times[bench])} | {show(times[floor])} | {ratio:.2f} | {goal} |")
    print()
    print("Pieces of one ForwardTransaction2 call:")
    for piece in PIECES:
        if piece in times:
            print(f"- {piece[len('BM_Piece'):]}: {show(times[piece])}")


if __name__ == "__main__":
    main()
