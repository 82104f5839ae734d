"""The resting states: the program left alone as loaded, waiting for the extension and confirmed.
Per state, the CPU time of the probe's whole process tree over a window; while waiting, also its
resident memory (X11) and the size-hint requests once the waiting dot has settled. Under X11 this
runs in run.py's xvfb-run child; under Wayland in a headless weston of its own (run_wayland).

Baseline: vorn_minimal_webview on a copy of the page with every animation and transition off,
moved into the same states by the same events.
"""

import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from figures import Figure, log, ordered
from processes import APP_NAME, Follower, prepare_probe_bundle, process_table, tree


CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# Seconds between the page's mark of a state and the start of its window: the waiting and the
# confirmed window start as the page enters the state (its redraw included, on both sides); the
# start state's mark comes as the document is parsed, and its window once the page has loaded.
IDLE_SETTLE = {"start": 1.0, "installed": 0.0, "confirmed": 0.0}
# The waiting dot blinks for its first 3.6 s; the size hints are counted from here on within
# the waiting window (GTK's Wayland backend states them again with every frame it paints).
HINTS_SETTLED_AFTER = 4.0  # seconds after entering the state


def idle_rounds(rounds):
    # Each idle round takes about 3 × (window + 2) s per side: fewer rounds than the others.
    return max(3, rounds // 2)


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
