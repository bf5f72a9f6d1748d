"""Runs velmo and its peers side by side and prints a table of medians and ratios.

Every measurement runs in a process of its own (so peak memory is per run); the tools of one
workload take turns within each repetition, so a change in machine load hits them alike.

Usage: python bench/run.py [--sizes 10k,100k,1M] [--repeat 5] [--workloads load,write,edit]
                           [--datasets mixed,numbers,timestamps]
"""

import argparse
import datetime as dt
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402

WORKLOADS = {
    # name: (script, tools); the first tool is the one the others are compared with.
    "load": ("load_values.py", ["velmo", "calamine"]),
    "write": ("write_save.py", ["velmo", "xlsxwriter", "xlsxwriter-cm"]),
    "edit": ("edit_save.py", ["velmo"]),
}
TITLES = {
    "load": "load + every value into Python lists",
    "write": "write + save",
    "edit": "load, edit one cell, save",
}
TOOL_NAMES = {
    "velmo": "velmo",
    "calamine": "python-calamine",
    "xlsxwriter": "XlsxWriter",
    "xlsxwriter-cm": "XlsxWriter constant_memory",
}


def parse_size(text):
    text = text.strip().lower()
    scale = {"k": 1_000, "m": 1_000_000}.get(text[-1:], 1)
    return int(float(text[:-1] if scale > 1 else text) * scale)


def size_label(cells):
    if cells >= 1_000_000 and cells % 1_000_000 == 0:
        return f"{cells // 1_000_000}M"
    if cells >= 1_000 and cells % 1_000 == 0:
        return f"{cells // 1_000}k"
    return str(cells)


def run_child(args, timeout):
    proc = subprocess.run(
        [sys.executable, *args], cwd=HERE, capture_output=True, text=True, timeout=timeout
    )
    if proc.returncode < 0:
        return {"error": f"killed by signal {-proc.returncode}"}
    if proc.returncode != 0:
        lines = (proc.stderr or proc.stdout).strip().splitlines()
        return {"error": lines[-1] if lines else f"exit status {proc.returncode}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def child_args(workload, tool, dataset, cells, in_path, out_dir):
    script = WORKLOADS[workload][0]
    if workload == "load":
        return [script, tool, in_path]
    if workload == "write":
        return [script, tool, dataset, str(cells), os.path.join(out_dir, f"written-{tool}-{dataset}-{cells}.xlsx")]
    return [script, tool, in_path, os.path.join(out_dir, f"edited-{tool}-{dataset}-{cells}.xlsx")]


def summarize(runs):
    ok = [r for r in runs if "error" not in r]
    if not ok:
        return {"error": runs[0]["error"] if runs else "not run"}
    med = lambda key: statistics.median(r[key] for r in ok)  # noqa: E731
    s = {
        "seconds": med("seconds"),
        "peak_kib": med("peak_kib"),
        "baseline_kib": med("baseline_kib"),
        "cells": ok[0]["cells"],
        "runs": len(ok),
    }
    s["peak_bytes_per_cell"] = statistics.median(
        (r["peak_kib"] - r["baseline_kib"]) * 1024 / r["cells"] for r in ok
    )
    if all("load_kib" in r for r in ok):
        s["model_bytes_per_cell"] = statistics.median(
            (r["load_kib"] - r["baseline_kib"]) * 1024 / r["cells"] for r in ok
        )
        s["load_seconds"] = med("load_seconds")
    for key in ("build_seconds", "save_seconds", "floor_seconds"):
        if all(key in r for r in ok):
            s[key] = med(key)
    if all("file_bytes" in r for r in ok):
        s["file_bytes"] = med("file_bytes")
    if all("input_bytes" in r for r in ok):
        s["input_bytes"] = med("input_bytes")
    return s


def fmt_bytes(n):
    return f"{n / 1e6:.1f} MB" if n >= 1e6 else f"{n / 1e3:.0f} kB"


def per_rep_ratios(peer_runs, base_runs, peer_key="seconds", base_key="seconds"):
    """The peer's time over velmo's in each repetition (runs of one repetition follow each other)."""
    return [
        p[peer_key] / b[base_key]
        for p, b in zip(peer_runs, base_runs)
        if "error" not in p and "error" not in b and peer_key in p and base_key in b
    ]


def fmt_ratios(ratios):
    return " ".join(f"{r:.2f}" for r in ratios)


def print_tables(results, raw, datasets, sizes, workloads):
    print(
        "| data | workload | cells | tool | median s | ns/cell | velmo faster by | per repetition | peak MiB "
        "| peak B/cell | model B/cell | file |"
    )
    print("|---|---|---|---|---:|---:|---:|---|---:|---:|---:|---|")
    for ds in datasets:
        for wl in workloads:
            tools = WORKLOADS[wl][1]
            for cells in sizes:
                base = results[ds][wl][cells][tools[0]]
                base_runs = raw[ds][wl][cells][tools[0]]
                for tool in tools:
                    s = results[ds][wl][cells][tool]
                    name = TOOL_NAMES[tool]
                    head = f"| {ds} | {TITLES[wl]} | {size_label(cells)} | {name}"
                    if "error" in s:
                        print(f"{head} | error: {s['error'][:70]} | | | | | | | |")
                        continue
                    reps = ""
                    if tool == tools[0]:
                        ratio = "—"
                    elif "error" in base:
                        ratio = "n/a"
                    else:
                        ratio = f"{s['seconds'] / base['seconds']:.2f}×"
                        reps = fmt_ratios(per_rep_ratios(raw[ds][wl][cells][tool], base_runs))
                    peak_mib = (s["peak_kib"] - s["baseline_kib"]) / 1024
                    model = f"{s['model_bytes_per_cell']:.0f}" if "model_bytes_per_cell" in s else ""
                    file_info = fmt_bytes(s["file_bytes"]) if "file_bytes" in s else ""
                    if "input_bytes" in s:
                        file_info += f" (input {fmt_bytes(s['input_bytes'])})"
                    print(
                        f"{head} | {s['seconds']:.3f} | {s['seconds'] / s['cells'] * 1e9:.0f} | {ratio} | {reps} | "
                        f"{peak_mib:.1f} | {s['peak_bytes_per_cell']:.0f} | {model} | {file_info} |"
                    )
                if tools[0] == "velmo" and "save_seconds" in base and "floor_seconds" in base:
                    # The save alone beside the DEFLATE floor of the sheet part it wrote, both measured
                    # in velmo's process.
                    head = f"| {ds} | {TITLES[wl]}: the save alone | {size_label(cells)}"
                    ns = lambda t: t / base["cells"] * 1e9  # noqa: E731
                    print(f"{head} | velmo save | {base['save_seconds']:.3f} | {ns(base['save_seconds']):.0f} "
                          "| — | | | | | |")
                    reps = per_rep_ratios(base_runs, base_runs, "floor_seconds", "save_seconds")
                    print(f"{head} | {FLOOR_NAME} | {base['floor_seconds']:.3f} | {ns(base['floor_seconds']):.0f} "
                          f"| {base['floor_seconds'] / base['save_seconds']:.2f}× | {fmt_ratios(reps)} | | | | |")


FLOOR_NAME = "floor: libdeflate level 6 over its sheet part"


def per_cell(s, key="seconds"):
    return s[key] / s["cells"] if "error" not in s and key in s else None


def print_growth(results, datasets, sizes, workloads):
    if len(sizes) < 2:
        return
    print()
    print("Growth: time per cell, largest over smallest across the sizes (1.00 is linear)")
    for ds in datasets:
        for wl in workloads:
            for tool in WORKLOADS[wl][1]:
                times = [t for c in sizes if (t := per_cell(results[ds][wl][c][tool])) is not None]
                if len(times) >= 2:
                    print(f"  {ds}, {TITLES[wl]}, {TOOL_NAMES[tool]}: {max(times) / min(times):.2f}")


def paired_ratio(slow_runs, fast_runs, key="seconds", fast_key=None):
    """The median over repetitions of one run's time per cell over the other's: runs of one repetition
    follow each other, so a change in machine load between repetitions cancels out."""
    fast_key = fast_key or key
    ratios = [
        (s[key] / s["cells"]) / (f[fast_key] / f["cells"])
        for s, f in zip(slow_runs, fast_runs)
        if "error" not in s and "error" not in f and key in s and fast_key in f
    ]
    return statistics.median(ratios) if ratios else None


def print_targets(results, raw, datasets, sizes, workloads):
    big = max(sizes)
    print()
    print(f"Targets on {size_label(big)} cells (medians of the per-repetition ratios):")

    def line(name, value, ok):
        print(f"  {'met ' if ok else 'MISS'} {name}: {value}")

    def runs(ds, wl, tool="velmo"):
        return raw.get(ds, {}).get(wl, {}).get(big, {}).get(tool, [])

    for ds in datasets if "load" in workloads else ():
        r = paired_ratio(runs(ds, "load", "calamine"), runs(ds, "load"))
        if r is not None:
            # Date-times hold a margin over 2x, so that run-to-run noise does not cross it.
            bound = 2.2 if ds == "timestamps" else 2.0
            reps = fmt_ratios(per_rep_ratios(runs(ds, "load", "calamine"), runs(ds, "load")))
            line(f"{ds}: load + values >= {bound:g}x faster than python-calamine", f"{r:.2f}x ({reps})", r >= bound)
        v = results[ds]["load"][big]["velmo"]
        if "model_bytes_per_cell" in v:
            b = v["model_bytes_per_cell"]
            line(f"{ds}: <= 81 bytes resident per cell after load", f"{b:.0f} B", round(b) <= 81)
    if "write" in workloads:
        r = paired_ratio(runs("mixed", "write", "xlsxwriter"), runs("mixed", "write"))
        if r is not None:
            line("mixed: write + save >= 10x faster than XlsxWriter", f"{r:.2f}x", r >= 10)
        r = paired_ratio(runs("timestamps", "write"), runs("numbers", "write"), "build_seconds")
        if r is not None:
            line("append of date-time rows <= 2x append of number rows", f"{r:.2f}x", r <= 2)
    for ds in ("mixed", "numbers"):
        for wl in ("write", "edit"):
            if wl not in workloads or ds not in datasets:
                continue
            r = paired_ratio(runs(ds, wl), runs(ds, wl), "save_seconds", "floor_seconds")
            if r is not None:
                reps = fmt_ratios(per_rep_ratios(runs(ds, wl), runs(ds, wl), "save_seconds", "floor_seconds"))
                line(f"{ds}: {TITLES[wl]}, the save <= 1.4x the DEFLATE-6 floor of its sheet part", f"{r:.2f}x ({reps})",
                     r <= 1.4)
    for wl in workloads:
        r = paired_ratio(runs("mixed", wl), runs("numbers", wl))
        if r is not None:
            line(f"mixed within 1.5x of numbers per cell, {TITLES[wl]}", f"{r:.2f}x", r <= 1.5)
    if len(sizes) >= 2:
        worst = None
        for ds in datasets:
            for wl in workloads:
                times = [t for c in sizes if (t := per_cell(results[ds][wl][c]["velmo"])) is not None]
                if len(times) >= 2:
                    worst = max(worst or 0.0, max(times) / min(times))
        if worst is not None:
            line("velmo's time per cell within 1.5x across sizes", f"worst {worst:.2f}x", worst <= 1.5)


def machine_line():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for l in f:
                if l.startswith("model name"):
                    cpu = l.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()
    return (
        f"{os.cpu_count()} CPUs, {cpu}; Python {platform.python_version()}; "
        f"load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}; {dt.datetime.now():%Y-%m-%d %H:%M}"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10k,100k,1M", help="cell counts, e.g. 10k,100k,1M")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each tool per size (median reported)")
    parser.add_argument("--workloads", default="load,write,edit", help="any of load,write,edit")
    parser.add_argument("--datasets", default=",".join(common.DATASETS), help="any of " + ",".join(common.DATASETS))
    parser.add_argument("--out", default=os.path.join(HERE, "out"), help="inputs, outputs and raw results")
    parser.add_argument("--regen", action="store_true", help="make the input files anew")
    parser.add_argument("--timeout", type=float, default=900, help="seconds allowed to one run")
    args = parser.parse_args()

    sizes = sorted(parse_size(s) for s in args.sizes.split(",") if s.strip())
    workloads = [w.strip() for w in args.workloads.split(",") if w.strip()]
    datasets = [d.strip() for d in args.datasets.split(",") if d.strip()]
    for w in workloads:
        if w not in WORKLOADS:
            parser.error(f"unknown workload {w!r}")
    for d in datasets:
        if d not in common.DATASETS:
            parser.error(f"unknown data set {d!r}")
    os.makedirs(args.out, exist_ok=True)

    print(f"machine: {machine_line()}", flush=True)
    inputs = {}
    for ds in datasets:
        for cells in sizes:
            path = common.input_path(args.out, ds, cells)
            if args.regen or not os.path.exists(path):
                t = time.perf_counter()
                common.make_input(path, ds, cells)
                print(f"made {os.path.basename(path)} with XlsxWriter in {time.perf_counter() - t:.1f} s", flush=True)
            inputs[ds, cells] = path

    raw = {ds: {wl: {c: {t: [] for t in WORKLOADS[wl][1]} for c in sizes} for wl in workloads} for ds in datasets}
    # Each repetition runs every data set and tool once, the orders alternating, so that the comparisons
    # between tools and between data sets see the machine in the same state.
    for cells in sizes:
        for wl in workloads:
            for rep in range(args.repeat):
                tools = WORKLOADS[wl][1]
                for ds in datasets if rep % 2 == 0 else reversed(datasets):
                    for tool in tools if rep % 2 == 0 else reversed(tools):
                        cmd = child_args(wl, tool, ds, cells, inputs[ds, cells], args.out)
                        try:
                            rec = run_child(cmd, args.timeout)
                        except subprocess.TimeoutExpired:
                            rec = {"error": f"timed out after {args.timeout:.0f} s"}
                        raw[ds][wl][cells][tool].append(rec)
            print(f"ran {wl} on {size_label(cells)} cells", file=sys.stderr, flush=True)

    results = {
        ds: {wl: {c: {t: summarize(raw[ds][wl][c][t]) for t in raw[ds][wl][c]} for c in sizes} for wl in workloads}
        for ds in datasets
    }
    with open(os.path.join(args.out, "last.json"), "w") as f:
        json.dump({"machine": machine_line(), "argv": sys.argv[1:], "raw": raw, "results": results}, f, indent=1,
                  default=str)

    print()
    print_tables(results, raw, datasets, sizes, workloads)
    print_growth(results, datasets, sizes, workloads)
    print_targets(results, raw, datasets, sizes, workloads)
    print()
    print(f"after: {machine_line()}")


if __name__ == "__main__":
    main()
