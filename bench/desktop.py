"""Start-up and memory under Xvfb (run in run.py's xvfb-run child): process start to the page's
first script message, the resident memory of our process and of its web process once the page is
shown, and the UI process's peak while the updater writes 200 MiB to standard error.

Ours is vorn_startup_probe, our program as built with its WebKit interface observed, from a copy
of the bundle (processes.prepare_probe_bundle). Baseline: vorn_minimal_webview, one window and one
web view on the same page; for the flood, the same program with an updater that writes nothing.
"""

import json
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

from figures import Figure, log, ordered
from processes import APP_NAME


DESKTOP_FIGURES = [
    ("process start → the page's first script has posted a message (Xvfb)", "s", 1.00),
    ("resident memory of our process once the page is shown", "KiB", 1.10),
    ("resident memory of the web process once the page is shown", "KiB", 1.10),
    ("peak resident memory of our UI process, updater writing 200 MiB to stderr (Xvfb)", "KiB", 1.5),
]


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
