"""The growth table of the tree code from field_tree_bench's JSON output.

    build/field_tree_bench --benchmark_out=tree.json    # EXPCOIL_BENCH_WINDINGS=... for the magnet rows
    python3 bench/field_tree_growth.py tree.json > bench/field_tree_growth.md

Times are the process's CPU time (both workers). Where the exact sum was not run (more than 1e10 pairs) its
time is estimated from the pairs rate of the largest exact sweep case and marked with "~". The errors are
measured against the exact sum on a sample of about 2,000 points of each case (every point for the magnet),
relative to the sample's largest |B|.
"""
import json
import sys


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b["cpu_time"] * scale, b["real_time"] * scale


def main(path):
    runs = json.load(open(path))["benchmarks"]
    exact, tree, magnet = {}, {}, {}
    for b in runs:
        parts = b["name"].split("/")
        label = b.get("label", "")
        if parts[0] == "BM_sweep_exact":
            exact[(int(parts[1]), int(parts[2]))] = (seconds(b), b["pairs"], label)
        elif parts[0] == "BM_sweep_tree":
            tree[(int(parts[1]), int(parts[2]), int(parts[3]))] = (seconds(b), b, label)
        elif parts[0] == "BM_magnet_exact":
            magnet["exact"] = (seconds(b), b, label)
        elif parts[0] == "BM_magnet_tree":
            magnet[int(parts[1])] = (seconds(b), b, label)
    rate = None
    if exact:
        key = max(exact, key=lambda k: exact[k][1])
        rate = exact[key][1] / exact[key][0][0]
    print("| segments | points | exact CPU s | 1e-6 CPU s | speed-up | error / tol | 1e-9 CPU s | speed-up | error / tol |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    if "exact" in magnet:
        (cpu, _), b, label = magnet["exact"]
        row = [label.split(" segments")[0], label.split(", ")[1].split(" points")[0] + " (magnet)", "%.2f" % cpu]
        for t in (6, 9):
            if t in magnet:
                (tc, _), tb, _ = magnet[t]
                row += ["%.2f" % tc, "%.1f" % (cpu / tc), "%.1e" % tb["err_over_tol"]]
        print("| " + " | ".join(row) + " |")
    for s, p in sorted({(k[0], k[1]) for k in tree}):
        some = tree.get((s, p, 6)) or tree.get((s, p, 9))
        label = some[2]
        segments = label.split(" segments")[0]
        points = label.split(", ")[1].split(" points")[0]
        if (s, p) in exact:
            e = exact[(s, p)][0][0]
            et = "%.2f" % e
        else:
            pairs = some[1]["pairs"]
            e = pairs / rate if rate else float("nan")
            et = "~%.0f" % e
        row = [segments, points, et]
        for t in (6, 9):
            if (s, p, t) in tree:
                (tc, _), tb, _ = tree[(s, p, t)]
                row += ["%.2f" % tc, "%.1f" % (e / tc), "%.1e" % tb["err_over_tol"]]
            else:
                row += ["", "", ""]
        print("| " + " | ".join(row) + " |")
    if rate:
        print("\nExact pairs rate (largest exact case): %.3g pairs per CPU second." % rate)


if __name__ == "__main__":
    main(sys.argv[1])
