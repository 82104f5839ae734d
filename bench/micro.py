"""The micro benchmarks (vorn_micro_bench, Google Benchmark), each against a baseline in the same
process, the repetitions of both interleaved at random:

- one watcher tick with a result and no receipt, against one lstat of the same path;
- one watcher tick with a 1 KiB matching receipt, against open + fstat + read + close of it;
- emit of an event with a 4 KiB folder path, against nlohmann-json's dump of the same map.

The tick figures' notes count the system calls of one tick (strace -c over vorn_tick_probe); the
receipt figure's note adds the decoding alone and the system calls alone of the safe read.
"""

import json
import shutil
import statistics
import subprocess
import tempfile
from pathlib import Path

from figures import Figure, fmt, log


def micro_runs(build, names, min_time, repetitions):
    """Fastest repetition of each named benchmark, the repetitions of all of them interleaved at
    random in one process, so that each name sees the same neighbours on a shared machine."""
    pattern = "^(" + "|".join(names) + ")$"
    out = subprocess.run(
        [str(build / "bench" / "vorn_micro_bench"), f"--benchmark_filter={pattern}",
         f"--benchmark_min_time={min_time}", f"--benchmark_repetitions={repetitions}",
         "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    fastest = {}
    for result in runs:
        if result.get("error_occurred"):
            raise RuntimeError(f"{result['run_name']}: {result.get('error_message')}")
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[result["time_unit"]]
        name = result["run_name"]
        fastest[name] = min(fastest.get(name, float("inf")), result["real_time"] * scale)
    missing = [n for n in names if n not in fastest]
    if missing:
        raise RuntimeError(f"no result for {', '.join(missing)}")
    return [fastest[n] for n in names]


def micro_time(build, name, min_time):
    # The fastest of three repetitions: on a shared machine the others mostly measure the neighbours.
    return micro_runs(build, [name], min_time, 3)[0]


def strace_counts(build, ticks, mode):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-c", "-f", "-o", out.name, str(build / "bench" / "vorn_tick_probe"),
                        str(ticks), mode], check=True, capture_output=True)
        counts = {}
        for line in Path(out.name).read_text().splitlines():
            fields = line.split()
            if len(fields) in (5, 6) and fields[-1] != "total" and fields[3].isdigit():
                counts[fields[-1]] = int(fields[3])
        return counts


def syscalls_per_tick(build, mode, ticks=20000):
    if shutil.which("strace") is None:
        return "strace not installed", None
    try:
        idle = strace_counts(build, 0, mode)
        busy = strace_counts(build, ticks, mode)
    except subprocess.CalledProcessError as error:
        return f"strace failed ({error.returncode})", None
    per = {name: (busy.get(name, 0) - idle.get(name, 0)) / ticks for name in busy}
    listed = sorted(((n, c) for n, c in per.items() if c >= 0.01), key=lambda item: -item[1])
    total = sum(c for _, c in listed)
    return f"{total:.2f} system calls per tick: " + ", ".join(f"{n} {c:.2f}" for n, c in listed), total


def run_micro(build, rounds, figures):
    pairs = [
        ("one watcher tick with a result and no receipt", "BM_TickNoReceipt", 2.0, "none"),
        ("one watcher tick with a 1 KiB matching receipt", "BM_TickReceipt", 2.0, "receipt"),
        ("emit of an event with a 4 KiB folder path", "BM_Emit", 1.5, None),
    ]
    for title, name, target, mode in pairs:
        log(f"micro: {name}")
        fig = Figure(title, "ns", target)
        try:
            for _ in range(rounds):
                fig.add(*micro_runs(build, [name, name + "Baseline"], 0.05, 8))
        except (subprocess.CalledProcessError, RuntimeError) as error:
            fig.failure = str(error).splitlines()[0]
        if mode:
            fig.note, calls = syscalls_per_tick(build, mode)
            if calls is not None and calls < 0.5 and not fig.failure:
                fig.failure = "the tick made no system call: the watcher is not built"
        if mode == "receipt":
            try:
                decode = statistics.median(micro_time(build, "BM_ReceiptDecode", 0.1) for _ in range(3))
                fig.note += f"; decoding the 1 KiB receipt alone (BM_ReceiptDecode): {fmt(decode, 'ns')}"
                floors = [micro_runs(build, ["BM_TickReceiptFloor", "BM_TickReceiptBaseline"], 0.05, 8)
                          for _ in range(3)]
                floor = statistics.median(f for f, _ in floors)
                ratio = statistics.median(f / b for f, b in floors)
                fig.note += (f"; the system calls alone of the entry check and the safe read (lstat, open, "
                             f"fstat, read, close: BM_TickReceiptFloor): {fmt(floor, 'ns')}, "
                             f"{ratio:.2f}× the baseline")
            except (subprocess.CalledProcessError, RuntimeError) as error:
                fig.note += f"; BM_ReceiptDecode failed: {str(error).splitlines()[0]}"
        figures.append(fig)
