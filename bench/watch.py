"""How soon the page confirms with the receipt's folder watched, under Xvfb: from a receipt
renamed into place beside the folder, and from Chromium's start (browser.browser_round), to the
page's "confirmed", each as a median and a p95 row.

Baseline: vorn_startup_probe_ticking, the same program with every folder watch refused, so that
its once-a-second tick alone confirms, with the same seeded pause in the same round.
"""

import json
import os
import random
import statistics
import time

import chromium_run  # tests/drivers/chromium_run.py
import fresh_install
from browser import browser_round
from figures import Figure, fmt, log, ordered, p95
from processes import TICKING_PROBE, Follower


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
    with fresh_install.installed(Follower, probe, env, work, "watch-home-") as (_, _, follower, setup, receipt):
        time.sleep(pause)
        part = receipt.parent / ".setup-confirmed.json.bench"
        part.write_text(json.dumps({"token": setup["token"], "version": setup["version"],
                                    "createdAt": time.time()}))
        os.rename(part, receipt)
        written = time.monotonic()
        return follower.wait_post("bench-state:confirmed", 10) - written


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
