"""Runs every benchmark of bench/ in one process and prints one table.

Each module ``bench/bench_*.py`` exposes ``rows()``, returning dicts with the
keys ``operation``, ``n``, ``vorlane_s``, ``peer``, ``peer_s``, ``goal`` (text)
and ``met`` (bool or None). Peers are timed side by side with vorlane in the
same run, because these machines are noisy: only the ratios are meaningful.
"""
import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def load(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def fmt_time(s):
    if s is None:
        return "-"
    if s < 1e-6:
        return f"{s * 1e9:.1f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.1f} us"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def main(argv):
    only = argv[1:]
    rows = []
    for path in sorted(HERE.glob("bench_*.py")):
        if only and not any(o in path.stem for o in only):
            continue
        print(f"# {path.stem} ...", file=sys.stderr, flush=True)
        rows.extend(load(path).rows())
    header = ("operation", "n", "vorlane", "peer", "peer time", "ratio", "goal", "met")
    table = [header]
    # Ratio is vorlane's time over the peer's: below 1 means vorlane is faster.
    for r in rows:
        ratio = (r["vorlane_s"] / r["peer_s"]) if r.get("peer_s") else None
        met = r.get("met")
        table.append((
            r["operation"], str(r.get("n", "")), fmt_time(r["vorlane_s"]),
            r.get("peer", "-"), fmt_time(r.get("peer_s")),
            "-" if ratio is None else f"{ratio:.3f}",
            r.get("goal", "-"), "-" if met is None else ("yes" if met else "NO"),
        ))
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for k, row in enumerate(table):
        print(" | ".join(c.ljust(w) for c, w in zip(row, widths)))
        if k == 0:
            print("-+-".join("-" * w for w in widths))
    if only:
        return  # a partial run leaves the committed report alone
    print("# scaling ...", file=sys.stderr, flush=True)
    scaling = load(HERE / "scaling.py")
    series = scaling.measure()
    scaling.plot(series, HERE / "scaling.png")
    write_report(table, scaling, series)


def write_report(table, scaling, series):
    lines = [
        "# Benchmark results",
        "",
        "Written by `make bench` (bench/run.py) on a 2-core Debian 12 machine; every",
        "peer is timed side by side with vorlane in the same run. Ratio is vorlane's",
        "time divided by the peer's (below 1: vorlane is faster). These machines are",
        "noisy: compare ratios, not absolute times.",
        "",
        "| " + " | ".join(table[0]) + " |",
        "|" + "|".join("---" for _ in table[0]) + "|",
    ]
    lines += ["| " + " | ".join(row) + " |" for row in table[1:]]
    lines += ["", "## Scaling", "", "![ns per element against N](scaling.png)", "",
              "| N | " + " | ".join(series) + " |", "|---|" + "|".join("---" for _ in series) + "|"]
    for i, n in enumerate(scaling.SIZES):
        lines.append(f"| {n} | " + " | ".join(f"{v[i]:.1f} ns" for v in series.values()) + " |")
    (HERE / "RESULTS.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv)
