#!/usr/bin/env python3
"""Runs every benchmark of the setup program against its baseline and prints one table.

Each figure is measured in rounds; in every round ours and the baseline run back to back, in
alternating order, and the round's ratio is ours / baseline. The table gives the median of each
side, the median ratio and its spread (lowest–highest round), the target, and whether the median
ratio meets it. Raw samples go to <build>/bench-results.json.

    bench/run.py --build build-bench [--rounds 7] [--only micro,install,drain,flood,desktop]
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
APP_NAME = "Vorn Preview Setup.app"


class Figure:
    def __init__(self, name, unit, target, note=""):
        self.name = name
        self.unit = unit
        self.target = target
        self.note = note
        self.ours = []
        self.base = []
        self.ratios = []
        self.failure = None

    def add(self, ours, base):
        self.ours.append(ours)
        self.base.append(base)
        self.ratios.append(ours / base if base else float("inf"))

    def row(self):
        if self.failure and not self.ratios:
            return [self.name, "—", "—", "—", f"≤ {self.target:g}×", "not measured (see below)"]
        med = statistics.median(self.ratios)
        spread = f"{min(self.ratios):.2f}–{max(self.ratios):.2f}"
        verdict = "met" if med <= self.target else "missed"
        if self.failure:
            verdict = "not valid (see below)"
        return [
            self.name,
            fmt(statistics.median(self.ours), self.unit),
            fmt(statistics.median(self.base), self.unit),
            f"{med:.2f}× ({spread}, n={len(self.ratios)})",
            f"≤ {self.target:g}×",
            verdict,
        ]

    def record(self):
        return {"figure": self.name, "unit": self.unit, "target": self.target, "ours": self.ours,
                "baseline": self.base, "ratios": self.ratios, "note": self.note, "failure": self.failure}


def fmt(value, unit):
    if unit == "ns":
        return f"{value:.1f} ns" if value < 1000 else f"{value / 1000:.2f} µs"
    if unit == "s":
        return f"{value * 1000:.0f} ms" if value < 10 else f"{value:.1f} s"
    if unit == "KiB":
        return f"{value / 1024:.1f} MiB"
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
    (contents / "MacOS" / "prog").write_bytes(b"\x7fELF" + b"\0" * 4092)
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
         "cp -a to a staging name, then mv into place"),
        (True, "install of the same bundle over an existing one",
         "cp -a to a staging name, mv the old one aside, mv the new one in, rm -rf the old one"),
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
    (macos / "prog").write_bytes(b"\x7fELF")
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
    (page / "vorn-bench-post.js").write_text('window.webkit.messageHandlers.setup.postMessage("check");\n')
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
    ("process start → the page's first script has posted a message (Xvfb)", "s", 1.05),
    ("resident memory of our process once the page is shown", "KiB", 1.10),
    ("resident memory of the web process once the page is shown", "KiB", 1.10),
    ("peak resident memory of our UI process, updater writing 200 MiB to stderr (Xvfb)", "KiB", 1.5),
]


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


def run_desktop(build, rounds, figures, work):
    """Runs the desktop rounds in a child of xvfb-run -a, with a HOME and an XDG_RUNTIME_DIR of
    their own (fresh, mode 0700), so nothing of the caller's display or home is touched."""
    figs = [Figure(*row) for row in DESKTOP_FIGURES]
    baseline = build / "bench" / "vorn_minimal_webview"
    probe_exe = build / "bench" / "vorn_startup_probe"
    real_bundle = build / APP_NAME
    missing = [p for p in (baseline, probe_exe, real_bundle) if not p.exists()]
    if missing or shutil.which("xvfb-run") is None:
        reason = "xvfb-run missing" if not missing else f"{missing[0].name} not built (no desktop backend)"
        for fig in figs:
            fig.failure = reason
        figures.extend(figs)
        return
    home = Path(tempfile.mkdtemp(prefix="home-", dir=work))
    runtime = Path(tempfile.mkdtemp(prefix="runtime-", dir=work))
    results = work / "desktop-results.json"
    env = dict(os.environ, HOME=str(home), XDG_RUNTIME_DIR=str(runtime))
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    argv = ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp", sys.executable, __file__,
            "--build", str(build), "--rounds", str(rounds), "--desktop-child", str(work)]
    try:
        subprocess.run(argv, env=env, check=True, timeout=1800)
        records = json.loads(results.read_text())
        for fig, record in zip(figs, records):
            fig.ours, fig.base, fig.ratios = record["ours"], record["baseline"], record["ratios"]
            fig.note, fig.failure = record["note"], record["failure"]
    except (subprocess.CalledProcessError, subprocess.TimeoutExpired, OSError, ValueError) as error:
        for fig in figs:
            fig.failure = f"the run under xvfb-run failed: {error}"[:200]
    figures.extend(figs)


def desktop_child(build, rounds, work):
    """The desktop rounds themselves, on the display xvfb-run gave; writes the figures' records."""
    start_fig, ui_fig, web_fig, flood_fig = figs = [Figure(*row) for row in DESKTOP_FIGURES]
    baseline = build / "bench" / "vorn_minimal_webview"
    probe_exe = build / "bench" / "vorn_startup_probe"
    real_bundle = build / APP_NAME
    # Our program as shipped, with the probe beside it in Contents/MacOS (where the web-process
    # extension is looked for) and the page's first script posting at once.
    bundle = work / "probe" / APP_NAME
    shutil.rmtree(bundle.parent, ignore_errors=True)
    shutil.copytree(real_bundle, bundle, symlinks=True)
    probe = bundle / "Contents" / "MacOS" / probe_exe.name
    shutil.copy2(probe_exe, probe)
    page = probe_page(bundle / "Contents" / "Resources" / "ui", real_bundle / "Contents" / "Resources" / "ui")
    env = dict(os.environ)
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
    (work / "desktop-results.json").write_text(json.dumps([f.record() for f in figs]))


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
    parser.add_argument("--only", default="micro,install,drain,flood,desktop")
    parser.add_argument("--desktop-child", metavar="WORK", help=argparse.SUPPRESS)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    if args.desktop_child:
        desktop_child(build, args.rounds, Path(args.desktop_child))
        return
    only = set(args.only.split(","))
    figures = []
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as scratch:
        work = Path(scratch)
        if "desktop" in only:
            run_desktop(build, args.rounds, figures, work)
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
