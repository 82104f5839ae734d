#!/usr/bin/env python3
"""Runs every benchmark of the setup program against its baseline and prints one table.

Each figure is measured in rounds; in every round ours and the baseline run back to back, in
alternating order, and the round's ratio is ours / baseline. The table gives the median of each
side, the median ratio and its spread (lowest–highest round), the target, and whether the median
ratio meets it. Raw samples go to <build>/bench-results.json.

    bench/run.py --build build-bench [--rounds 7] [--only micro,install,...] [--idle-window 10]

--only takes any of micro, install, drain, flood (peak memory under a stderr flood), desktop
(start-up and memory under Xvfb), idle (the resting states under Xvfb), browser (Chromium
confirming the setup, under Xvfb), watch (how soon the page confirms with the receipt's folder
watched, against the tick alone, under Xvfb), road (the person's road in Chromium with a window,
from the folder window's Open click, bench/person_road.py) and wayland (the resting states under a
headless weston).
"""

import argparse
import collections
import json
import os
import queue
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "drivers"))
import chromium_run  # noqa: E402  (tests/drivers/chromium_run.py: the browser as the walk-through runs it)
sys.path.insert(0, str(ROOT / "bench"))
import fresh_install  # noqa: E402  (bench/fresh_install.py: a fresh HOME with the program installed)
import person_road as road_bench  # noqa: E402  (bench/person_road.py: the person's road in the browser)
APP_NAME = "Vorn Preview Setup.app"


class Figure:
    """One row of the table. `target` bounds the median ratio ours / baseline; `limit`, when
    given, also bounds the median of ours itself (in the figure's unit). Either may be None."""

    def __init__(self, name, unit, target, note="", limit=None):
        self.name = name
        self.unit = unit
        self.target = target
        self.limit = limit
        self.note = note
        self.ours = []
        self.base = []
        self.ratios = []
        self.failure = None

    def add(self, ours, base):
        self.ours.append(ours)
        self.base.append(base)
        if base:
            self.ratios.append(ours / base)
        else:
            self.ratios.append(1.0 if ours == 0 else float("inf"))

    def target_text(self):
        parts = []
        if self.target is not None:
            parts.append(f"≤ {self.target:g}×")
        if self.limit is not None:
            parts.append(f"≤ {fmt(self.limit, self.unit)}")
        return " and ".join(parts)

    def row(self):
        if self.failure and not self.ratios:
            return [self.name, "—", "—", "—", self.target_text(), "not measured (see below)"]
        med = statistics.median(self.ratios)
        ours = statistics.median(self.ours)
        spread = f"{min(self.ratios):.2f}–{max(self.ratios):.2f}"
        met = (self.target is None or med <= self.target) and (self.limit is None or ours <= self.limit)
        verdict = "met" if met else "missed"
        if self.failure:
            verdict = "not valid (see below)"
        return [
            self.name,
            fmt(ours, self.unit),
            fmt(statistics.median(self.base), self.unit),
            f"{med:.2f}× ({spread}, n={len(self.ratios)})",
            self.target_text(),
            verdict,
        ]

    def record(self):
        return {"figure": self.name, "unit": self.unit, "target": self.target, "limit": self.limit,
                "ours": self.ours, "baseline": self.base, "ratios": self.ratios, "note": self.note,
                "failure": self.failure}

    @classmethod
    def from_record(cls, record):
        fig = cls(record["figure"], record["unit"], record["target"], record["note"], record.get("limit"))
        fig.ours, fig.base, fig.ratios = record["ours"], record["baseline"], record["ratios"]
        fig.failure = record["failure"]
        return fig


def fmt(value, unit):
    if unit == "ns":
        return f"{value:.1f} ns" if value < 1000 else f"{value / 1000:.2f} µs"
    if unit == "s":
        return f"{value * 1000:.0f} ms" if value < 10 else f"{value:.1f} s"
    if unit == "KiB":
        return f"{value / 1024:.1f} MiB"
    if unit == "%":
        return f"{value:.2f} % of a core"
    if unit == "count":
        return f"{value:g}"
    return f"{value:g} {unit}"


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def ordered(round_index, ours, base):
    """Runs the two measurements of one round, ours first in even rounds."""
    if round_index % 2 == 0:
        a = ours()
        b = base()
    else:
        b = base()
        a = ours()
    return a, b


# --- micro benchmarks (Google Benchmark) -------------------------------------------------------


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


# --- installation of a 50 MB bundle of 2,000 files ---------------------------------------------

UPDATER_SCRIPT = """#!/bin/sh
printf '%s\\n' '{"folder":"/tmp/x","token":"t","version":"1"}'
"""


def make_bundle(root, files=2000, total=50_000_000):
    """A bundle tree of `files` files (including the program, the updater and the page) whose
    sizes add up to `total` bytes: a few large ones, many small ones, in nested folders."""
    rng = random.Random(2000)
    contents = root / "Contents"
    (contents / "MacOS").mkdir(parents=True)
    (contents / "MacOS" / "vorn-preview-setup").write_bytes(b"\x7fELF" + b"\0" * 4092)
    updater = contents / "MacOS" / "vorn-updater"
    updater.write_text(UPDATER_SCRIPT)
    updater.chmod(0o755)
    ui = contents / "Resources" / "ui"
    ui.mkdir(parents=True)
    (ui / "index.html").write_text("<!doctype html><title>Vorn Preview Setup</title>\n")
    fixed = sum(p.stat().st_size for p in root.rglob("*") if p.is_file())
    count = files - 3
    weights = [rng.lognormvariate(0, 1.5) for _ in range(count)]
    scale = (total - fixed) / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights]
    sizes[0] += total - fixed - sum(sizes)
    pool = os.urandom(4 << 20)
    for i, size in enumerate(sizes):
        folder = contents / "Resources" / f"pack{i % 20:02d}" / f"set{i % 7}"
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / f"item{i:04d}.bin", "wb") as out:
            left, offset = size, (i * 7919) % len(pool)
            while left:
                piece = min(left, len(pool) - offset)
                out.write(pool[offset:offset + piece])
                left -= piece
                offset = 0
    return root


def tree_summary(root):
    files = [p for p in root.rglob("*") if p.is_file()]
    return len(files), sum(p.stat().st_size for p in files)


def timed(argv, env=None, timeout=600):
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{Path(argv[0]).name} failed ({done.returncode}): {done.stdout.strip()} "
                           f"{done.stderr.strip()}"[:300])
    return elapsed, done.stdout


def run_install(build, rounds, figures, work):
    log("install: making the bundle tree")
    source = make_bundle(work / "source" / APP_NAME)
    count, size = tree_summary(source)
    home = work / "home"
    apps = home / "Applications"
    dest = apps / APP_NAME
    env = dict(os.environ, HOME=str(home))
    driver = str(build / "bench" / "vorn_install_driver")

    def reset(existing):
        shutil.rmtree(apps, ignore_errors=True)
        apps.mkdir(parents=True)
        if existing:
            subprocess.run(["cp", "-a", str(source), str(dest)], check=True)
        subprocess.run(["sync"], check=True)

    def ours(existing):
        reset(existing)
        elapsed, _ = timed([driver, str(source)], env=env)
        n, s = tree_summary(dest)
        leftovers = [p.name for p in apps.iterdir() if p.name != APP_NAME]
        if (n, s) != (count, size) or leftovers:
            raise RuntimeError(f"installed tree differs: {n} files, {s} bytes, left over {leftovers}")
        return elapsed

    def base(existing):
        reset(existing)
        stage = apps / ".stage.app"
        start = time.perf_counter()
        subprocess.run(["cp", "-a", str(source), str(stage)], check=True)
        # The installer flushes its copy before it takes the name: so does the baseline.
        subprocess.run(["sync"], check=True)
        if existing:
            old = apps / ".old.app"
            subprocess.run(["mv", "-T", str(dest), str(old)], check=True)
            subprocess.run(["mv", "-T", str(stage), str(dest)], check=True)
            subprocess.run(["rm", "-rf", str(old)], check=True)
        else:
            subprocess.run(["mv", "-T", str(stage), str(dest)], check=True)
        return time.perf_counter() - start

    for existing, title, baseline in [
        (False, "install of a 50 MB bundle of 2,000 files into an empty ~/Applications",
         "cp -a to a staging name, sync, then mv into place"),
        (True, "install of the same bundle over an existing one",
         "cp -a to a staging name, sync, mv the old one aside, mv the new one in, rm -rf the old one"),
    ]:
        log(f"install: {'over an existing bundle' if existing else 'fresh'}")
        fig = Figure(title, "s", 1.2, f"{count} files, {size / 1e6:.1f} MB; baseline: {baseline}")
        try:
            ours(existing)  # warm the page cache and the dentry cache alike for both
            for r in range(rounds):
                fig.add(*ordered(r, lambda: ours(existing), lambda: base(existing)))
        except (RuntimeError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
            fig.failure = str(error)[:200]
        figures.append(fig)
    shutil.rmtree(home, ignore_errors=True)


# --- an updater that floods both streams ------------------------------------------------------


def run_drain(build, rounds, figures, driver=None):
    log("drain: 256 MiB on each stream")
    updater = str(build / "bench" / "vorn_flood_updater")
    driver = driver or str(build / "bench" / "vorn_drain_driver")
    mib = 256
    env = dict(os.environ, VORN_FLOOD_MIB=str(mib))
    fig = Figure("an updater that writes 256 MiB to stdout and 256 MiB to stderr, then the result",
                 "s", 1.2, "baseline: the same updater with each stream piped into cat >/dev/null; "
                 "ours: from the driver's start until both streams are at their end and the updater "
                 "is reaped")
    stall_after = 120
    decoding = []

    def ours():
        # Timed to the driver's own stamp of the drained moment: what it does afterwards (decoding
        # the record, freeing half a gigabyte) is no part of the drain and has no match in cat.
        start = time.monotonic()
        _, out = timed([driver, updater], env=env, timeout=stall_after)
        result = json.loads(out)
        expected = mib << 20
        if result["stderrBytes"] != expected or result["stdoutBytes"] <= expected or not result["decoded"]:
            raise RuntimeError(f"incomplete drain: {result}")
        decoding.append(result["decodeSeconds"])
        return result["drained"] - start

    def base():
        script = '{ "$0" --setup 2>&1 1>&3 3>&- | cat >/dev/null; } 3>&1 | cat >/dev/null'
        elapsed, _ = timed(["bash", "-c", script, updater], env=env, timeout=stall_after)
        return elapsed

    try:
        # One round of each first, not counted: on a virtual machine the host backs guest memory
        # only when it is first touched, and the first run to fill half a gigabyte pays for that
        # (several times the whole figure), which says nothing about the program.
        ours()
        base()
        decoding.clear()
        for r in range(rounds):
            fig.add(*ordered(r, ours, base))
        fig.note += (f"; no stall (every run ended, both streams complete); decoding the 256 MiB "
                     f"standard output as the result afterwards: {statistics.median(decoding):.2f} s "
                     f"(median, not in the figure)")
    except subprocess.TimeoutExpired:
        fig.failure = f"stall: no end after {stall_after} s"
    except RuntimeError as error:
        fig.failure = str(error)[:200]
    figures.append(fig)
    return fig


# --- peak memory of the installing process under a flood of standard error --------------------


def run_flood_memory(build, rounds, figures, work):
    """The real installer (vorn_install_driver) whose updater writes 200 MiB to standard error and
    fails: the program's peak resident memory, against the same run whose updater writes nothing."""
    log("flood: 200 MiB on standard error")
    bundle = work / "flood" / APP_NAME
    shutil.rmtree(bundle.parent, ignore_errors=True)
    macos = bundle / "Contents" / "MacOS"
    macos.mkdir(parents=True)
    (macos / "vorn-preview-setup").write_bytes(b"\x7fELF")
    shutil.copy2(build / "bench" / "vorn_flood_updater", macos / "vorn-updater")
    ui = bundle / "Contents" / "Resources" / "ui"
    ui.mkdir(parents=True)
    (ui / "index.html").write_text("<!doctype html><title>Vorn Preview Setup</title>\n")
    home = work / "flood-home"
    driver = str(build / "bench" / "vorn_install_driver")
    mib = 200
    fig = Figure(f"peak resident memory of the installing process, updater writing {mib} MiB to stderr",
                 "KiB", 1.5, "baseline: the same run with an updater that writes nothing and fails")
    messages = []

    def peak(flood_mib):
        shutil.rmtree(home, ignore_errors=True)
        home.mkdir(parents=True)
        env = dict(os.environ, HOME=str(home), VORN_FLOOD_MIB=str(flood_mib), VORN_FLOOD_STDERR_ONLY="1")
        done = subprocess.run([driver, str(bundle)], env=env, capture_output=True, text=True, timeout=300)
        lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
        if not lines:
            raise RuntimeError(f"vorn_install_driver ended with {done.returncode}: {done.stderr.strip()[-200:]}")
        result = json.loads(lines[-1])
        if result.get("event") != "error":
            raise RuntimeError(f"expected an error event, got {result.get('event')}")
        if flood_mib:
            messages.append(result.get("messageBytes", 0))
        return result["peakRssKiB"]

    try:
        for r in range(max(3, rounds // 2)):
            fig.add(*ordered(r, lambda: peak(mib), lambda: peak(0)))
        worst = max(fig.ours)
        fig.note += (f"; highest peak with the flood: {worst / 1024:.1f} MiB (the bound is 400 MiB); the error "
                     f"message sent to the page: {max(messages)} bytes")
        if worst >= 400 * 1024:
            fig.failure = f"peak {worst / 1024:.0f} MiB, not under 400 MiB"
    except (RuntimeError, subprocess.TimeoutExpired) as error:
        fig.failure = str(error)[:200]
    shutil.rmtree(home, ignore_errors=True)
    figures.append(fig)


# --- start-up and memory under a virtual display -----------------------------------------------


# Posts "check" at once (the start-up figure's mark); once the page is built, also posts
# "bench-state:<state>" for the state it shows and for every state it enters later (the idle
# figures' marks). Both words are no command, so the program ignores them.
BENCH_POST_JS = """window.webkit.messageHandlers.setup.postMessage("check");
document.addEventListener("DOMContentLoaded", function () {
  var last = "";
  function report() {
    var state = document.body.dataset.state || "";
    if (state === last) return;
    last = state;
    window.webkit.messageHandlers.setup.postMessage("bench-state:" + state);
  }
  new MutationObserver(report).observe(document.body, { attributes: true, attributeFilter: ["data-state"] });
  report();
});
"""

# For the idle baseline: the same page, nothing on it moving.
STILL_CSS = """*, *::before, *::after { animation: none !important; transition: none !important; }
"""


def still_page(page, probe):
    """A copy of the probe page with every animation and transition turned off."""
    shutil.rmtree(page, ignore_errors=True)
    shutil.copytree(probe, page)
    (page / "vorn-bench-still.css").write_text(STILL_CSS)
    index = page / "index.html"
    html = index.read_text()
    link = '<link rel="stylesheet" href="vorn-bench-still.css">'
    html = re.sub(r"(</head>)", lambda m: link + m.group(1), html, count=1)
    index.write_text(html)
    return page


def probe_page(page, page_source):
    """A copy of the page whose first script posts "check" at once, from a file of the page's own
    folder (so a policy that allows only the folder's own scripts lets it run)."""
    shutil.rmtree(page, ignore_errors=True)
    if page_source and (page_source / "index.html").exists():
        shutil.copytree(page_source, page)
    else:
        page.mkdir(parents=True)
        (page / "index.html").write_text("<!doctype html><html><head><title>Vorn Preview Setup</title></head>"
                                         "<body><main><h1>Vorn Preview Setup</h1></main></body></html>\n")
    (page / "vorn-bench-post.js").write_text(BENCH_POST_JS)
    index = page / "index.html"
    html = index.read_text()
    post = '<script src="vorn-bench-post.js"></script>'
    html = re.sub(r"(<head[^>]*>)", lambda m: m.group(1) + post, html, count=1) if "<head" in html else post + html
    index.write_text(html)
    return page


def run_probe(argv, env, mode, timeout=60):
    """Starts a probe in its own session; answers (seconds from start to the first post, report)."""
    env = dict(env, VORN_BENCH_MODE=mode)
    start = time.monotonic()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise RuntimeError(f"{Path(argv[0]).name}: no first post within {timeout} s")
    finally:
        # The web engine's helpers end when their parent goes; make sure before the next run.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    lines = [line for line in out.splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        raise RuntimeError(f"{Path(argv[0]).name} ended with {proc.returncode}: {err.strip()[-300:]}")
    report = json.loads(lines[-1])
    return report["firstPost"] - start, report


def child_rss(report, prefix):
    return sum(c["rssKiB"] for c in report["children"] if c["comm"].startswith(prefix))


DESKTOP_FIGURES = [
    ("process start → the page's first script has posted a message (Xvfb)", "s", 1.00),
    ("resident memory of our process once the page is shown", "KiB", 1.10),
    ("resident memory of the web process once the page is shown", "KiB", 1.10),
    ("peak resident memory of our UI process, updater writing 200 MiB to stderr (Xvfb)", "KiB", 1.5),
]


def prepare_probe_bundle(build, work):
    """Our program as shipped, with the probe beside it in Contents/MacOS (where the web-process
    extension is looked for) and the page's first script posting at once. Answers the probe and
    its page folder."""
    real_bundle = build / APP_NAME
    bundle = work / "probe" / APP_NAME
    probe = bundle / "Contents" / "MacOS" / "vorn_startup_probe"
    if not probe.exists():
        shutil.rmtree(bundle.parent, ignore_errors=True)
        shutil.copytree(real_bundle, bundle, symlinks=True)
        shutil.copy2(build / "bench" / probe.name, probe)
        ticking = build / "bench" / TICKING_PROBE
        if ticking.exists():  # the watch figures' baseline, beside it
            shutil.copy2(ticking, probe.parent / TICKING_PROBE)
        probe_page(bundle / "Contents" / "Resources" / "ui", real_bundle / "Contents" / "Resources" / "ui")
    return probe, bundle / "Contents" / "Resources" / "ui"


def desktop_flood_peak(real_bundle, work, env, mib):
    """The shipped program, its updater replaced by the flood updater (standard error only, then
    exit 1), installing for real: Return presses the page's focused Install button. Answers the
    UI process's VmHWM and the web process's, read once the installation has ended."""
    bundle = work / "flood-desktop" / APP_NAME
    shutil.rmtree(bundle.parent, ignore_errors=True)
    shutil.copytree(real_bundle, bundle, symlinks=True)
    shutil.copy2(real_bundle.parent / "bench" / "vorn_flood_updater", bundle / "Contents" / "MacOS" / "vorn-updater")
    home = Path(tempfile.mkdtemp(prefix="flood-home-", dir=work))
    env = dict(env, HOME=str(home), VORN_FLOOD_MIB=str(mib), VORN_FLOOD_STDERR_ONLY="1")
    proc = subprocess.Popen([str(bundle / "Contents" / "MacOS" / "vorn-preview-setup")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    installed = home / "Applications" / APP_NAME

    def status_kib(pid, key="VmHWM"):
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1])
        return 0

    try:
        deadline = time.monotonic() + 60
        while not installed.exists():
            if time.monotonic() > deadline:
                raise RuntimeError("the flood run never started installing")
            windows = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Vorn Preview Setup$"],
                                     env=env, capture_output=True, text=True).stdout.split()
            if windows:
                subprocess.run(["xdotool", "windowfocus", "--sync", windows[0], "key", "Return"], env=env,
                               capture_output=True)
            time.sleep(0.5)
        time.sleep(4)  # the flood takes well under a second; then the page shows the message
        web = [int(c) for c in subprocess.run(["pgrep", "-P", str(proc.pid), "WebKitWebProces"],
                                              capture_output=True, text=True).stdout.split()]
        return status_kib(proc.pid), sum(status_kib(c) for c in web)
    finally:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        shutil.rmtree(home, ignore_errors=True)


def run_desktop(build, rounds, figures, work, parts, idle_window):
    """Runs the X11 rounds in a child of xvfb-run -a, with a HOME and an XDG_RUNTIME_DIR of
    their own (fresh, mode 0700), so nothing of the caller's display or home is touched."""
    baseline = build / "bench" / "vorn_minimal_webview"
    probe_exe = build / "bench" / "vorn_startup_probe"
    real_bundle = build / APP_NAME
    missing = [p for p in (baseline, probe_exe, real_bundle) if not p.exists()]
    if missing or shutil.which("xvfb-run") is None:
        reason = "xvfb-run missing" if not missing else f"{missing[0].name} not built (no desktop backend)"
        figs = [Figure(*row) for row in DESKTOP_FIGURES] if "desktop" in parts else []
        if "idle" in parts:
            states, extra = idle_figures("X11", True, True)
            figs += list(states.values()) + list(extra.values())
        if "browser" in parts:
            figs.append(browser_figure())
        if "watch" in parts:
            figs += watch_figures()
        if "road" in parts:
            figs += road_bench.road_figures(Figure)
        for fig in figs:
            fig.failure = reason
        figures.extend(figs)
        return
    home = Path(tempfile.mkdtemp(prefix="home-", dir=work))
    runtime = Path(tempfile.mkdtemp(prefix="runtime-", dir=work))
    results = work / "desktop-results.json"
    env = dict(os.environ, HOME=str(home), XDG_RUNTIME_DIR=str(runtime))
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "GDK_BACKEND"):
        env.pop(name, None)
    argv = ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp", sys.executable, __file__,
            "--build", str(build), "--rounds", str(rounds), "--idle-window", str(idle_window),
            "--only", ",".join(parts), "--desktop-child", str(work)]
    try:
        subprocess.run(argv, env=env, check=True, timeout=3600)
        figures.extend(Figure.from_record(r) for r in json.loads(results.read_text()))
    except (subprocess.CalledProcessError, subprocess.TimeoutExpired, OSError, ValueError) as error:
        fig = Figure("the figures under Xvfb", "s", None)
        fig.failure = f"the run under xvfb-run failed: {error}"[:200]
        figures.append(fig)


def desktop_child(build, rounds, work, parts, idle_window):
    """The X11 rounds themselves, on the display xvfb-run gave; writes the figures' records."""
    figs = []
    probe, page = prepare_probe_bundle(build, work)
    env = dict(os.environ)
    if "desktop" in parts:
        figs += startup_and_memory(build, rounds, probe, page, env, work)
    if "browser" in parts:
        figs.append(run_browser(rounds, probe, env, work))
    if "watch" in parts:
        figs += run_watch(rounds, probe, env, work)
    if "road" in parts:
        figs += road_bench.run_road(rounds, probe, env, work, Figure, Follower, browser_round, ordered, p95, fmt,
                                    random.Random(35), log)
    if "idle" in parts:
        server = xvfb_server()
        figs += run_idle(build, idle_rounds(rounds), idle_window, "X11", env, work,
                         helpers=(server,) if server else (), spy=True, with_memory=True)
    (work / "desktop-results.json").write_text(json.dumps([f.record() for f in figs]))


def idle_rounds(rounds):
    # Each idle round takes about 3 × (window + 2) s per side: fewer rounds than the others.
    return max(3, rounds // 2)


def startup_and_memory(build, rounds, probe, page, env, work):
    start_fig, ui_fig, web_fig, flood_fig = figs = [Figure(*row) for row in DESKTOP_FIGURES]
    real_bundle = build / APP_NAME
    baseline = build / "bench" / "vorn_minimal_webview"
    ours_argv = [str(probe)]
    base_argv = [str(baseline), str(page / "index.html")]
    try:
        log(f"desktop: warming up on display {env.get('DISPLAY')}")
        run_probe(ours_argv, env, "start")
        run_probe(base_argv, env, "start")
        # Start-up is the noisiest figure on a shared machine and each round takes about a
        # second, so it gets three times the rounds.
        log("desktop: start-up")
        for r in range(3 * rounds):
            start_fig.add(*ordered(r, lambda: run_probe(ours_argv, env, "start")[0],
                                   lambda: run_probe(base_argv, env, "start")[0]))
        log("desktop: memory")
        nets = []
        for r in range(max(3, rounds // 2)):
            ours, base = ordered(r, lambda: run_probe(ours_argv, env, "memory")[1],
                                 lambda: run_probe(base_argv, env, "memory")[1])
            ui_fig.add(ours["rssKiB"], base["rssKiB"])
            web_fig.add(child_rss(ours, "WebKitWebProces"), child_rss(base, "WebKitWebProces"))
            nets.append((child_rss(ours, "WebKitNetworkPr"), child_rss(base, "WebKitNetworkPr")))
        net_ours = statistics.median(n[0] for n in nets)
        net_base = statistics.median(n[1] for n in nets)
        web_fig.note = (f"network process (median): ours {net_ours / 1024:.1f} MiB, baseline "
                        f"{net_base / 1024:.1f} MiB; RSS read 1 s after the first post")
        log("desktop: peak memory under a stderr flood")
        webs = []
        for r in range(max(3, rounds // 2)):
            (ours_ui, ours_web), (base_ui, base_web) = ordered(
                r, lambda: desktop_flood_peak(real_bundle, work, env, 200),
                lambda: desktop_flood_peak(real_bundle, work, env, 0))
            flood_fig.add(ours_ui, base_ui)
            webs.append((ours_web, base_web))
        flood_fig.note = (f"baseline: the same program and updater writing nothing before it fails; highest UI "
                          f"peak with the flood {max(flood_fig.ours) / 1024:.1f} MiB (the bound is 400 MiB); web "
                          f"process peak (median): {statistics.median(w[0] for w in webs) / 1024:.1f} MiB with "
                          f"the flood, {statistics.median(w[1] for w in webs) / 1024:.1f} MiB without")
        if max(flood_fig.ours) >= 400 * 1024:
            flood_fig.failure = "the UI process's peak reached 400 MiB"
    except RuntimeError as error:
        for fig in figs:
            fig.failure = str(error)[:200]
    return figs


# --- the browser: Chromium loading the extension until the page shows the setup confirmed ------


def browser_figure():
    return Figure("Chromium started with the extension folder → the page shows “confirmed” (Xvfb)", "s", None,
                  limit=1.5)


def browser_round(probe, env, work, index, pause):
    """One round: our program (the probe, in idle mode) installs into a fresh HOME for real; then
    headless Chromium, profile under that HOME, loads the folder the updater reported. Answers the
    seconds from Chromium's start to the worker's first ask, to the receipt, and to the page's
    "confirmed" state. Chromium starts `pause` seconds after the page shows "installed": the
    watcher ticks once a second from the program's start and an installation takes about as long
    in every round, so without the pause every round would meet the tick at the same phase, where
    a person starts the browser at any moment."""
    with fresh_install.installed(Follower, probe, env, work, "browser-home-") as (home, env, follower, setup,
                                                                                  receipt):
        time.sleep(pause)
        log_file = work / f"chromium-{index}.log"
        with chromium_run.Chromium(setup["folder"], str(log_file), str(home), env) as browser:
            written, asks = [], []

            def watch():  # the worker's first ask in the log and the receipt, looked for every 5 ms
                deadline = time.monotonic() + 30
                while not written and time.monotonic() < deadline:
                    if not asks and chromium_run.ASKING in browser.log():
                        asks.append(time.monotonic())
                    if receipt.exists():
                        written.append(time.monotonic())
                    time.sleep(0.005)

            watcher = threading.Thread(target=watch, daemon=True)
            watcher.start()
            try:
                confirmed = follower.wait_post("bench-state:confirmed", 30)
            except RuntimeError as error:
                raise RuntimeError(f"{error}; Chromium's log: {browser.log()[-300:]}") from None
            watcher.join(31)
            if not written or chromium_run.ASKING not in browser.log():
                raise RuntimeError(f"confirmed, but no receipt or no ask seen; Chromium's log: {browser.log()[-300:]}")
            asked = asks[0] if asks else written[0]  # an ask logged in the same 5 ms as the receipt
            return asked - browser.started, written[0] - browser.started, confirmed - browser.started


def run_browser(rounds, probe, env, work):
    """ours: Chromium's start → the page's "confirmed"; baseline: Chromium's start → the receipt on
    disk, in the same round, so the ratio is what the program's once-a-second watcher adds."""
    fig = browser_figure()
    if chromium_run.find() is None:
        fig.failure = "chromium is not installed (scripts/install-deps <build folder> installs it)"
        return fig
    log("browser: Chromium confirming the setup")
    asks = []
    rng = random.Random(23)
    try:
        browser_round(probe, env, work, 0, 0.0)  # the first start of a browser fills the page cache
        for r in range(rounds):
            asked, written, confirmed = browser_round(probe, env, work, r + 1, rng.random())
            fig.add(confirmed, written)
            asks.append((asked, confirmed - asked))
        fig.note = (f"ours: from starting chromium --headless=new --load-extension=<the folder> to the page's "
                    f"state; baseline: to the receipt on disk; Chromium's start → the worker's first ask "
                    f"(median, its console line as seen in the log, looked for every 5 ms): "
                    f"{fmt(statistics.median(a for a, _ in asks), 's')}, and from that ask to the page's "
                    f"\u201cconfirmed\u201d: {fmt(statistics.median(c for _, c in asks), 's')}; the "
                    f"program looks for the receipt once a second; Chromium starts at a random moment (0–1 s, "
                    f"seeded) after the page shows the folder, so the rounds meet the watcher at every phase")
    except (RuntimeError, OSError, ValueError, KeyError) as error:
        fig.failure = str(error)[:300]
    return fig


# --- the receipt's folder watched: how soon the page confirms, against the tick alone ----------

# The same probe with every folder watch refused (bench/startup/CMakeLists.txt): the program as it
# was before the watch, confirming at its once-a-second tick only.
TICKING_PROBE = "vorn_startup_probe_ticking"


def p95(values):
    return statistics.quantiles(values, n=20, method="inclusive")[18]


def watch_figures():
    return [
        Figure("receipt renamed into place → the page shows “confirmed”, watched / tick alone (Xvfb)", "s", 0.2,
               limit=0.1),
        Figure("… the same, p95 of the rounds", "s", 0.2, limit=0.15),
        Figure("Chromium started with the extension folder → “confirmed”, watched / tick alone (Xvfb)", "s", 0.9),
        Figure("… the same, p95 of the rounds", "s", 0.9),
    ]


def receipt_round(probe, env, work, pause):
    """One round: the program installs into a fresh HOME for real; `pause` seconds after the page
    shows the folder, the receipt for that setup is renamed into place beside it, as the native
    host writes it. Answers the seconds from the rename to the page's "confirmed" state."""
    home = Path(tempfile.mkdtemp(prefix="watch-home-", dir=work))
    follower = Follower([str(probe)], dict(env, HOME=str(home)))
    try:
        follower.wait_post("bench-state:start", 60)
        follower.send('document.getElementById("install").click();')
        follower.wait_post("bench-state:installed", 60)
        setup = json.loads((home / ".local" / "share" / "vorn-preview" / "last-setup.json").read_text())
        beside = Path(setup["folder"]).parent
        time.sleep(pause)
        part = beside / ".setup-confirmed.json.bench"
        part.write_text(json.dumps({"token": setup["token"], "version": setup["version"],
                                    "createdAt": time.time()}))
        os.rename(part, beside / "setup-confirmed.json")
        written = time.monotonic()
        return follower.wait_post("bench-state:confirmed", 10) - written
    finally:
        follower.close()
        shutil.rmtree(home, ignore_errors=True)


def run_watch(rounds, probe, env, work):
    """ours: the program as built, which watches the receipt's folder; baseline: the same program
    with every watch refused, so that its once-a-second tick alone confirms, in the same round.
    Each round meets the tick at a random phase (a seeded pause of 0–1 s before the receipt or
    the browser's start), the same for both sides of the round."""
    landed, landed_p95, browser, browser_p95 = figs = watch_figures()
    ticking = probe.parent / TICKING_PROBE
    if not ticking.exists():
        for fig in figs:
            fig.failure = f"{TICKING_PROBE} not built"
        return figs
    rng = random.Random(28)
    log("watch: receipt → confirmed, watched and by the tick alone")
    try:
        for r in range(rounds):
            pause = rng.random()
            landed.add(*ordered(r, lambda: receipt_round(probe, env, work, pause),
                                lambda: receipt_round(ticking, env, work, pause)))
        landed_p95.add(p95(landed.ours), p95(landed.base))
        landed.note = watch_note(landed, "the rename of a receipt written beside the folder")
    except (RuntimeError, OSError, ValueError, KeyError) as error:
        landed.failure = landed_p95.failure = str(error)[:300]
    if chromium_run.find() is None:
        browser.failure = browser_p95.failure = "chromium is not installed (scripts/install-deps <build folder>)"
        return figs
    log("watch: Chromium's start → confirmed, watched and by the tick alone")
    receipts = []
    try:
        browser_round(probe, env, work, 0, 0.0)  # the first start of a browser fills the page cache
        for r in range(rounds):
            pause = rng.random()
            ours, base = ordered(r, lambda: browser_round(probe, env, work, 2 * r + 1, pause),
                                 lambda: browser_round(ticking, env, work, 2 * r + 2, pause))
            browser.add(ours[2], base[2])
            receipts.append((ours[1], base[1]))
        browser_p95.add(p95(browser.ours), p95(browser.base))
        browser.note = watch_note(browser, "starting chromium --headless=new --load-extension=<the folder>") + (
            f"; Chromium's start → the receipt on disk (median): "
            f"{fmt(statistics.median(w for w, _ in receipts), 's')} watched, "
            f"{fmt(statistics.median(w for _, w in receipts), 's')} tick alone")
    except (RuntimeError, OSError, ValueError, KeyError) as error:
        browser.failure = browser_p95.failure = str(error)[:300]
    return figs


def watch_note(fig, start):
    return (f"from {start} to the page's state; median {fmt(statistics.median(fig.ours), 's')} watched, "
            f"{fmt(statistics.median(fig.base), 's')} by the tick alone (ratio of medians "
            f"{statistics.median(fig.ours) / statistics.median(fig.base):.3f}×); p95 {fmt(p95(fig.ours), 's')} "
            f"and {fmt(p95(fig.base), 's')} (ratio {p95(fig.ours) / p95(fig.base):.3f}×); "
            f"{len(fig.ours)} rounds, each meeting the tick at a random phase")


# --- idle: the program left alone in each of its resting states ---------------------------------

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# Seconds between the page's mark of a state and the start of its window: the waiting and the
# confirmed window start as the page enters the state (its redraw included, on both sides); the
# start state's mark comes as the document is parsed, and its window once the page has loaded.
IDLE_SETTLE = {"start": 1.0, "installed": 0.0, "confirmed": 0.0}
# The waiting dot blinks for its first 3.6 s; the size hints are counted from here on within
# the waiting window (GTK's Wayland backend states them again with every frame it paints).
HINTS_SETTLED_AFTER = 4.0  # seconds after entering the state


def process_table():
    """pid → (ppid, comm, utime + stime in clock ticks) of every process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            line = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        # pid (comm) state ppid …; comm may hold spaces and parentheses.
        comm = line[line.index("(") + 1:line.rindex(")")]
        fields = line[line.rindex(")") + 2:].split()
        table[int(entry)] = (int(fields[1]), comm, int(fields[11]) + int(fields[12]))
    return table


def tree(root, table):
    """The pids of root and of every process below it."""
    children = collections.defaultdict(list)
    for pid, (ppid, _, _) in table.items():
        children[ppid].append(pid)
    found, pending = [], [root]
    while pending:
        pid = pending.pop()
        if pid in table:
            found.append(pid)
        pending.extend(children[pid])
    return found


def vm_rss(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


class CpuWindow:
    """CPU time used by a set of process trees between start() and stop(), as a percentage of one
    core over the wall time between the two."""

    def __init__(self, roots):
        self.roots = roots

    def _ticks(self):
        table = process_table()
        ticks = {}
        for root in self.roots:
            for pid in tree(root, table):
                ticks[pid] = table[pid][2]
        return ticks

    def start(self):
        self.began, self.first = time.monotonic(), self._ticks()

    def stop(self):
        last, ended = self._ticks(), time.monotonic()
        used = sum(t - self.first.get(pid, 0) for pid, t in last.items())
        return 100.0 * used / CLOCK_TICKS / (ended - self.began)


class Follower:
    """A probe in idle mode: its posts are read as they come, scripts are sent to the page through
    its standard input, and standard-error lines matching one of the `watch` patterns (name →
    regular expression) are stamped as they come, by name."""

    def __init__(self, argv, env, watch=None):
        self.watch = {name: re.compile(pattern) for name, pattern in (watch or {}).items()}
        self.hits = collections.defaultdict(list)
        self.tail = collections.deque(maxlen=8)
        self.posts = queue.Queue()
        self.proc = subprocess.Popen(argv, env=dict(env, VORN_BENCH_MODE="idle"), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
                                     start_new_session=True)
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read_out(self):
        for line in self.proc.stdout:
            if line.startswith("{"):
                try:
                    self.posts.put(json.loads(line))
                except ValueError:
                    pass
        self.posts.put(None)

    def _read_err(self):
        for line in self.proc.stderr:
            names = [name for name, pattern in self.watch.items() if pattern.search(line)]
            for name in names:
                self.hits[name].append(time.monotonic())
            if not names:
                self.tail.append(line.rstrip())

    def wait_post(self, body, timeout):
        deadline = time.monotonic() + timeout
        while True:
            try:
                item = self.posts.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise RuntimeError(f"no {body!r} within {timeout} s; last output: {' | '.join(self.tail)}"[:300])
            if item is None:
                raise RuntimeError(f"ended ({self.proc.wait()}) before {body!r}: {' | '.join(self.tail)}"[:300])
            if item.get("post") == body:
                return item["at"]

    def send(self, script):
        self.proc.stdin.write(script + "\n")
        self.proc.stdin.flush()

    def rss(self, prefixes):
        """VmRSS of the probe itself and of its descendants whose name starts with a prefix."""
        table = process_table()
        pids = tree(self.proc.pid, table)
        total = vm_rss(self.proc.pid)
        by_name = collections.Counter()
        for pid in pids:
            if pid != self.proc.pid:
                by_name[table[pid][1]] += vm_rss(pid)
        return total + sum(v for k, v in by_name.items() if k.startswith(prefixes)), by_name

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=3)
        except (OSError, subprocess.TimeoutExpired):
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()


class HintSpy:
    """Counts the changes of the X11 window's WM_NORMAL_HINTS (xprop -spy), stamped as they come."""

    def __init__(self, env):
        self.hits = []
        self.proc = None
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Vorn Preview Setup$"],
                               env=env, capture_output=True, text=True, timeout=10)
        window = found.stdout.split()[:1]
        if not window:
            raise RuntimeError("no window titled Vorn Preview Setup to watch")
        self.proc = subprocess.Popen(["xprop", "-spy", "-id", window[0], "WM_NORMAL_HINTS"], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        first = True
        for line in self.proc.stdout:
            if line.startswith("WM_NORMAL_HINTS"):
                if not first:  # the first block is the value at the start, not a change
                    self.hits.append(time.monotonic())
                first = False

    def close(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()


def count_between(stamps, begin, end):
    return sum(1 for t in stamps if begin <= t < end)


IDLE_STATES = ("start", "installed", "confirmed")
STATE_TITLES = {"start": "start", "installed": "waiting for the extension", "confirmed": "confirmed"}


def idle_run(side, argv, env, window, enter, helpers=(), watch=None, spy=False):
    """One run of one side through the three resting states. `enter(state, follower)` moves the
    page into a state. Answers {state: {"cpu": %, "helpers": %, "hints": n}} and the RSS while
    waiting. `helpers` are pids outside the tree (the display server) noted alongside."""
    follower = Follower(argv, env, watch)
    spy_proc = None
    marks = {}
    try:
        follower.wait_post("bench-state:start", 60)
        if spy:
            spy_proc = HintSpy(env)
        for state in IDLE_STATES:
            if state != "start":
                enter(state, follower)
                follower.wait_post(f"bench-state:{state}", 60)
            entered = time.monotonic()
            time.sleep(IDLE_SETTLE[state])
            ours_cpu, server_cpu = CpuWindow([follower.proc.pid]), CpuWindow(list(helpers))
            ours_cpu.start()
            server_cpu.start()
            began = time.monotonic()
            time.sleep(window)
            ended = time.monotonic()
            marks[state] = {"cpu": ours_cpu.stop(), "helpers": server_cpu.stop(), "began": began,
                            "ended": ended, "settled": entered + HINTS_SETTLED_AFTER}
            if state == "installed":
                marks[state]["rss"], marks[state]["rssByName"] = follower.rss(("WebKitWebProces",))
        for mark in marks.values():
            stamps = spy_proc.hits if spy_proc else follower.hits["hints"]
            mark["hints"] = count_between(stamps, mark["began"], mark["ended"])
            mark["hintsSettled"] = count_between(stamps, mark["settled"], mark["ended"])
            mark["hintsTotal"] = len(stamps)
            mark["frames"] = count_between(follower.hits["frames"], mark["began"], mark["ended"])
            mark["framesTotal"] = len(follower.hits["frames"])
    finally:
        if spy_proc:
            spy_proc.close()
        follower.close()
    log(f"  {side}: " + ", ".join(f"{s} {m['cpu']:.2f} %" for s, m in marks.items()))
    return marks


def idle_sides(build, work, env):
    """The two sides of the idle figures: our program (a copy of the bundle with the probe, as the
    start-up figure runs it, installing into the run's HOME) and the minimal window on the same
    page with nothing moving. Each answers (argv, enter)."""
    baseline = build / "bench" / "vorn_minimal_webview"
    bundle = work / "probe" / APP_NAME
    probe = bundle / "Contents" / "MacOS" / "vorn_startup_probe"
    page = bundle / "Contents" / "Resources" / "ui"
    still = still_page(work / "still" / "ui", page)
    writer = build / "tools" / "vorn-receipt-writer"

    def ours_enter(state, follower):
        if state == "installed":
            follower.send('document.getElementById("install").click();')
        else:
            subprocess.run([str(writer)], env=env, check=True, capture_output=True, timeout=30)

    def base_enter(state, follower):
        event = {"type": state} if state != "installed" else {"type": "installed", "folder": str(work / "ext")}
        follower.send(f"window.vornSetup.receive({json.dumps(event)});")

    return ([str(probe)], ours_enter), ([str(baseline), str(still / "index.html")], base_enter)


def idle_figures(display, with_memory, with_hints):
    figs = {state: Figure(f"idle CPU of the program's processes, {STATE_TITLES[state]} ({display})", "%", 1.5,
                          limit=3.0) for state in IDLE_STATES}
    extra = {}
    if with_memory:
        extra["rss"] = Figure(f"resident memory of our process + web process while waiting ({display})", "KiB",
                              1.05)
    if with_hints:
        extra["hints"] = Figure(f"size-hint requests while waiting, once the dot has settled ({display})",
                                "count", None, limit=0)
    return figs, extra


def run_idle(build, rounds, window, display, env, work, helpers=(), watch=None, spy=False, with_memory=False,
             hint_env=None):
    """The idle figures on one display: `rounds` alternating rounds of both sides, each walking
    through the three states with a `window`-second sample in each."""
    figs, extra = idle_figures(display, with_memory, spy or hint_env is not None)
    every = list(figs.values()) + list(extra.values())
    try:
        (ours_argv, ours_enter), (base_argv, base_enter) = idle_sides(build, work, env)
        servers, nets, hint_counts = [], [], []
        for r in range(rounds):
            log(f"idle ({display}): round {r + 1} of {rounds}")
            ours, base = ordered(r, lambda: idle_run("ours", ours_argv, env, window, ours_enter, helpers, spy=spy),
                                 lambda: idle_run("baseline", base_argv, env, window, base_enter, helpers, spy=spy))
            for state, fig in figs.items():
                fig.add(ours[state]["cpu"], base[state]["cpu"])
            servers.append((ours["installed"]["helpers"], base["installed"]["helpers"]))
            if with_memory:
                extra["rss"].add(ours["installed"]["rss"], base["installed"]["rss"])
                nets.append((ours["installed"]["rssByName"], base["installed"]["rssByName"]))
            if spy:
                extra["hints"].add(ours["installed"]["hintsSettled"], base["installed"]["hintsSettled"])
                hint_counts.append((ours["installed"]["hints"], base["installed"]["hints"]))
        note = (f"{window:g} s windows from the page's entering the state (the start state: from 1 s after it was "
                f"parsed); utime+stime of the "
                f"probe's whole process tree (UI, web and network process) from /proc; baseline: "
                f"vorn_minimal_webview on the same page with every animation and transition off, moved into "
                f"the same state by the same event")
        figs["start"].note = note
        for state in ("installed", "confirmed"):
            figs[state].note = f"measured as the start state's figure above, {window:g} s windows"
        if helpers and servers:
            figs["installed"].note += (f"; the display server meanwhile (not in the figure, median): ours "
                                       f"{statistics.median(s[0] for s in servers):.2f} %, baseline "
                                       f"{statistics.median(s[1] for s in servers):.2f} %")
        if with_memory and nets:
            extra["rss"].note = ("VmRSS at the end of the waiting window; baseline: the minimal window showing "
                                 "the same page in the same state (animations off)")
        if hint_env is not None:
            # A run of its own: the protocol log costs CPU time of its own.
            for r in range(max(1, rounds // 2)):
                ours, base = ordered(r, lambda: idle_run("ours", ours_argv, hint_env, window, ours_enter,
                                                         watch=watch),
                                     lambda: idle_run("baseline", base_argv, hint_env, window, base_enter,
                                                      watch=watch))
                extra["hints"].add(ours["installed"]["hintsSettled"], base["installed"]["hintsSettled"])
                hint_counts.append((ours["installed"]["hints"], base["installed"]["hints"]))
            extra["hints"].note = (
                f"xdg_toplevel set_min_size + set_max_size requests (WAYLAND_DEBUG=client) from "
                f"{HINTS_SETTLED_AFTER:g} s after the page began waiting to the end of the {window:g} s window; "
                f"in the whole window (the blink included): ours {hint_counts[-1][0]}, baseline "
                f"{hint_counts[-1][1]}; in the whole run: ours {ours['installed']['hintsTotal']} in "
                f"{ours['installed']['framesTotal']} frames, baseline {base['installed']['hintsTotal']} in "
                f"{base['installed']['framesTotal']} frames (wl_surface.frame requests). GTK's Wayland backend "
                f"states both hints again with every frame it paints (end of paint → margin sync), for any "
                f"window, so the count follows the frames drawn")
        elif spy:
            extra["hints"].note = (
                f"PropertyNotify of WM_NORMAL_HINTS (xprop -spy) from {HINTS_SETTLED_AFTER:g} s after the page "
                f"began waiting to the end of the {window:g} s window; in the whole window: ours "
                f"{hint_counts[-1][0]}, baseline {hint_counts[-1][1]}")
    except (RuntimeError, subprocess.CalledProcessError, subprocess.TimeoutExpired, OSError) as error:
        for fig in every:
            fig.failure = str(error)[:240]
    return every


def xvfb_server():
    """The pid of the X server that xvfb-run started beside this process, if it can be found."""
    table = process_table()
    for pid, (ppid, comm, _) in table.items():
        if comm == "Xvfb" and ppid == os.getppid():
            return pid
    return None


def run_wayland(build, rounds, window, figures, work):
    """The idle figures under a headless weston of the run's own, with its own runtime folder."""
    figs, extra = idle_figures("Wayland", False, True)
    every = list(figs.values()) + list(extra.values())
    if shutil.which("weston") is None:
        for fig in every:
            fig.failure = "weston not installed"
        figures.extend(every)
        return
    runtime = Path(tempfile.mkdtemp(prefix="runtime-wl-", dir=work))
    home = Path(tempfile.mkdtemp(prefix="home-wl-", dir=work))
    runtime.chmod(0o700)
    socket = "vorn-bench-wayland"
    env = dict(os.environ, HOME=str(home), XDG_RUNTIME_DIR=str(runtime), WAYLAND_DISPLAY=socket,
               GDK_BACKEND="wayland")
    for name in ("DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--use-pixman", f"--socket={socket}",
                               "--width=1280", "--height=1024", "--idle-time=0", "--no-config"],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              start_new_session=True)
    try:
        deadline = time.monotonic() + 15
        while not (runtime / socket).exists():
            if weston.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"weston did not start: {weston.stderr.read()[-200:] if weston.poll() is not None else 'timeout'}")
            time.sleep(0.1)
        prepare_probe_bundle(build, work)
        every = run_idle(build, rounds, window, "Wayland", env, work, helpers=(weston.pid,),
                         watch={"hints": r"xdg_toplevel@\d+\.set_(min|max)_size\(",
                                "frames": r"-> wl_surface@\d+\.frame\("},
                         hint_env=dict(env, WAYLAND_DEBUG="client"))
    except (RuntimeError, OSError) as error:
        for fig in every:
            fig.failure = str(error)[:240]
    finally:
        os.killpg(weston.pid, signal.SIGTERM)
        try:
            weston.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(weston.pid, signal.SIGKILL)
            weston.wait()
    figures.extend(every)


# --- the table -------------------------------------------------------------------------------


def print_table(figures):
    header = ["figure", "ours (median)", "baseline (median)", "ratio (median, min–max)", "target", "result"]
    rows = [fig.row() for fig in figures]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()
    for fig in figures:
        notes = [n for n in (fig.note, fig.failure and f"NOT VALID: {fig.failure}") if n]
        if notes:
            print(f"- {fig.name}: " + "; ".join(notes))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build-bench"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", default="micro,install,drain,flood,desktop,idle,browser,watch,road,wayland")
    parser.add_argument("--idle-window", type=float, default=10.0,
                        help="seconds sampled in each resting state (the idle figures)")
    parser.add_argument("--desktop-child", metavar="WORK", help=argparse.SUPPRESS)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    only = set(args.only.split(","))
    if args.desktop_child:
        desktop_child(build, args.rounds, Path(args.desktop_child), only, args.idle_window)
        return
    figures = []
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as scratch:
        work = Path(scratch)
        x11 = sorted(only & {"desktop", "idle", "browser", "watch", "road"})
        if x11:
            run_desktop(build, args.rounds, figures, work, x11, args.idle_window)
        if "wayland" in only:
            run_wayland(build, idle_rounds(args.rounds), args.idle_window, figures, work)
        if "micro" in only:
            run_micro(build, args.rounds, figures)
        if "install" in only:
            run_install(build, max(3, args.rounds - 2), figures, work)
        if "drain" in only:
            run_drain(build, args.rounds, figures)
        if "flood" in only:
            run_flood_memory(build, args.rounds, figures, work)
    (build / "bench-results.json").write_text(json.dumps([f.record() for f in figures], indent=2))
    print_table(figures)
    log(f"\nall figures in {time.monotonic() - began:.0f} s; raw samples in {build / 'bench-results.json'}")


if __name__ == "__main__":
    main()
