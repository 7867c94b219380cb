"""Hash store bucket choice: mixed address versus plain ``address % size``.

Runs the native benchmark build/bench/hashstore_bench (built by ``make bench``)
and turns its lines into rows for bench/run.py: one timing row per workload
and initial size (1e6 puts then 1e6 gets, mixed as vorlane, plain as peer),
and one row each for the chain walks, whose figures go in the goal column.
The full table is printed on stderr as well.
"""
import pathlib
import subprocess
import sys

BINARY = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench" / "hashstore_bench"

FIELDS = ("workload", "start", "policy", "n", "insert_mean", "insert_max",
          "lookup_mean", "lookup_max", "front_buckets", "back_buckets", "seconds")


def measure():
    if not BINARY.exists():
        raise SystemExit(f"{BINARY} is missing: run `make bench`")
    out = subprocess.run([str(BINARY)], check=True, capture_output=True, text=True).stdout
    results = {}
    for line in out.splitlines():
        rec = dict(zip(FIELDS, line.split("\t")))
        for key in FIELDS[3:]:
            rec[key] = float(rec[key])
        results[(rec["workload"], int(rec["start"]), rec["policy"])] = rec
    return results


def rows():
    results = measure()
    print("workload   start policy  insert mean/max  lookup mean/max  buckets front/back  put+get",
          file=sys.stderr)
    out = []
    for (workload, start, policy), r in results.items():
        print(f"{workload:<10} {start:>5} {policy:<6}  {r['insert_mean']:>6.2f} / {r['insert_max']:<5.0f}"
              f"  {r['lookup_mean']:>6.2f} / {r['lookup_max']:<5.0f}"
              f"  {r['front_buckets']:>9.0f} / {r['back_buckets']:<8.0f} {r['seconds']:.3f} s",
              file=sys.stderr)
        if policy != "mixed":
            continue
        plain = results[(workload, start, "plain")]
        n = int(r["n"])
        out.append({
            "operation": f"store put+get, {workload}, from {start}",
            "n": n, "vorlane_s": r["seconds"], "peer": "address % size",
            "peer_s": plain["seconds"], "goal": "ratio <= 1.1",
            "met": r["seconds"] <= 1.1 * plain["seconds"],
        })
        for what in ("insert", "lookup"):
            mean, top = r[f"{what}_mean"], r[f"{what}_max"]
            out.append({
                "operation": f"chain walk per {what}, {workload}, from {start}",
                "n": n, "vorlane_s": None, "peer": "address % size", "peer_s": None,
                "goal": (f"mean < 2: {mean:.2f} (max {top:.0f}) vs "
                         f"{plain[what + '_mean']:.2f} (max {plain[what + '_max']:.0f})"),
                "met": mean < 2,
            })
    return out
