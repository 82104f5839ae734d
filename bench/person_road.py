"""The person's road as bench figures: from the folder window's Open click to the receipt and to
the page's "confirmed", beside Chromium started with --load-extension in the same round.

One round of ours: our program (the probe, in idle mode) installs into a fresh HOME for real; then
Chromium with a window, its profile under that HOME, is walked along the person's road
(tests/drivers/user_road.py): the address pasted, Developer mode and Load unpacked clicked, the folder
pasted into the folder window and Open clicked. The clipboard is xclip's, holding what the page's
Copy buttons would have put there (the program's buttons are not what is timed).
"""

import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "drivers"))
import chromium_run  # noqa: E402
import fresh_install  # noqa: E402
import user_road  # noqa: E402
from browser import browser_round  # noqa: E402
from figures import Figure, fmt, log, ordered, p95  # noqa: E402
from processes import Follower  # noqa: E402


def road_figures():
    return [
        Figure("folder window's Open clicked → the receipt on disk / Chromium started with --load-extension "
               "→ the receipt (Xvfb)", "s", None),
        Figure("… the same, p95 of the rounds", "s", None),
        Figure("folder window's Open clicked → the page shows “confirmed” / Chromium started with "
               "--load-extension → “confirmed” (Xvfb)", "s", None),
        Figure("… the same, p95 of the rounds", "s", None),
    ]


class Clipboard:
    """The X clipboard holding one text, served by xclip until the next text or close()."""

    def __init__(self):
        self.proc = None

    def hold(self, text):
        self.close()
        self.proc = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard"], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.proc.stdin.write(text.encode())
        self.proc.stdin.close()
        user_road.wait("the clipboard", lambda: subprocess.run(
            ["xclip", "-selection", "clipboard", "-o"], capture_output=True, text=True).stdout == text, 10.0)

    def close(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


def road_round(probe, env, work, index):
    """Answers the seconds from the Open click to the receipt on disk (looked for every 5 ms) and
    to the page's "bench-state:confirmed" post."""
    clipboard = Clipboard()
    with fresh_install.installed(Follower, probe, env, work, "road-home-") as (home, env, follower, setup,
                                                                                  receipt):
        try:
            log_file = work / f"road-chromium-{index}.log"
            width, height = user_road.screen()
            with user_road.Browser(str(home), str(log_file), (0, 0, width, height), env) as browser:
                road = user_road.Road(browser)
                try:
                    clipboard.hold(user_road.EXTENSIONS)
                    road.open_extensions()
                    road.developer_mode()
                    clipboard.hold(setup["folder"])
                    dialog = road.load_unpacked()
                    written = []

                    def watch():
                        deadline = time.monotonic() + 60
                        while not written and time.monotonic() < deadline:
                            if receipt.exists():
                                written.append(time.monotonic())
                            time.sleep(0.005)

                    watcher = threading.Thread(target=watch, daemon=True)
                    watcher.start()
                    chosen = road.choose_folder(dialog)
                    confirmed = follower.wait_post("bench-state:confirmed", 30)
                    watcher.join(61)
                except (user_road.RoadError, RuntimeError) as error:
                    raise RuntimeError(f"{error}; Chromium's log: {browser.log()[-300:]}") from None
                if not written or chromium_run.ASKING not in browser.log():
                    raise RuntimeError(f"confirmed, but no receipt or no ask seen; Chromium's log: {browser.log()[-300:]}")
                return written[0] - chosen, confirmed - chosen
        finally:
            clipboard.close()


def run_road(rounds, probe, env, work, rng):
    """ours: the person's road, timed from the Open click; baseline: today's browser round
    (chromium --headless=new --load-extension=<the folder>), timed from Chromium's start, in the
    same round, in alternating order."""
    receipt, receipt_p95, confirmed, confirmed_p95 = figs = road_figures()
    if chromium_run.find() is None or shutil.which("xclip") is None or shutil.which("xdotool") is None:
        for fig in figs:
            fig.failure = "chromium, xclip or xdotool is not installed (scripts/install-deps <build folder>)"
        return figs
    log("road: the person's road in Chromium with a window, against --load-extension")
    try:
        browser_round(probe, env, work, 0, 0.0)  # the first start of a browser fills the page cache
        for r in range(rounds):
            pause = rng.random()
            ours, base = ordered(r, lambda: road_round(probe, env, work, r + 1),
                                 lambda: browser_round(probe, env, work, 100 + r, pause))
            receipt.add(ours[0], base[1])
            confirmed.add(ours[1], base[2])
        receipt_p95.add(p95(receipt.ours), p95(receipt.base))
        confirmed_p95.add(p95(confirmed.ours), p95(confirmed.base))
        receipt.note = (f"ours: the folder window's Open clicked (xdotool, after Ctrl+L and Ctrl+V there) to the "
                        f"receipt on disk, looked for every 5 ms; median {fmt(statistics.median(receipt.ours), 's')}, "
                        f"p95 {fmt(p95(receipt.ours), 's')}; baseline: chromium --headless=new "
                        f"--load-extension=<the folder> from its start, median "
                        f"{fmt(statistics.median(receipt.base), 's')}, p95 {fmt(p95(receipt.base), 's')}; "
                        f"{len(receipt.ours)} rounds, one uncounted first browser start")
        confirmed.note = (f"ours: the Open click to the page's \u201cconfirmed\u201d post; median "
                          f"{fmt(statistics.median(confirmed.ours), 's')}, p95 {fmt(p95(confirmed.ours), 's')}; "
                          f"baseline from the headless start, median {fmt(statistics.median(confirmed.base), 's')}, "
                          f"p95 {fmt(p95(confirmed.base), 's')}; the ratio says how the person's last click "
                          f"compares with a whole start of a browser that loads the folder itself")
    except (RuntimeError, OSError, ValueError, KeyError) as error:
        for fig in figs:
            fig.failure = str(error)[:300]
    return figs
