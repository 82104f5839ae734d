"""Chromium confirming the setup under Xvfb: our program (the probe, in idle mode) installs into a
fresh HOME for real, then headless Chromium loads the extension folder the updater reported; ours
is timed from Chromium's start to the page's "confirmed".

Baseline: Chromium's start to the receipt on disk in the same round, so the ratio is what the
program's watcher adds. The round itself (browser_round) is also the watch and road figures'.
"""

import random
import statistics
import threading
import time

import chromium_run  # tests/drivers/chromium_run.py: the browser as the walk-through runs it
import fresh_install
from figures import Figure, fmt, log
from processes import Follower


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
