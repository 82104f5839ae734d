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

Each benchmark is a module beside this runner, named after its --only word (bench/micro.py,
install.py, drain.py, flood.py, desktop.py, idle.py with wayland, browser.py, watch.py and
person_road.py for road); bench/figures.py is the table and its rounds, bench/processes.py how
processes and the probe are started and watched. This file picks the benchmarks, runs the X11 ones
in a child of xvfb-run, and prints the table.
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The benchmark modules beside this file, and the browser drivers they share with the tests,
# wherever the runner is started from.
sys.path.insert(0, str(ROOT / "tests" / "drivers"))
sys.path.insert(0, str(ROOT / "bench"))
import person_road as road_bench  # noqa: E402  (bench/person_road.py: the person's road in the browser)
from browser import browser_figure, run_browser  # noqa: E402
from desktop import DESKTOP_FIGURES, startup_and_memory  # noqa: E402
from drain import run_drain  # noqa: E402
from figures import Figure, log, print_table  # noqa: E402
from flood import run_flood_memory  # noqa: E402
from idle import idle_figures, idle_rounds, run_idle, run_wayland, xvfb_server  # noqa: E402
from install import run_install  # noqa: E402
from micro import run_micro  # noqa: E402
from processes import APP_NAME, prepare_probe_bundle  # noqa: E402
from watch import run_watch, watch_figures  # noqa: E402


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
            figs += road_bench.road_figures()
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
    argv = ["xvfb-run", "-a", "-s", "-noreset -screen 0 1280x1024x24 -nolisten tcp", sys.executable, __file__,
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
        figs += road_bench.run_road(rounds, probe, env, work, random.Random(35))
    if "idle" in parts:
        server = xvfb_server()
        figs += run_idle(build, idle_rounds(rounds), idle_window, "X11", env, work,
                         helpers=(server,) if server else (), spy=True, with_memory=True)
    (work / "desktop-results.json").write_text(json.dumps([f.record() for f in figs]))


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
