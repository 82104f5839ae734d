"""Peak resident memory of the installing process (vorn_install_driver, the real installer on
the headless platform) whose updater writes 200 MiB to standard error and fails.

Baseline: the same run with an updater that writes nothing and fails.
"""

import json
import os
import shutil
import subprocess

from figures import Figure, log, ordered
from processes import APP_NAME


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
