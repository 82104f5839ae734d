"""An updater that floods both streams: vorn_flood_updater writes 256 MiB to stdout and 256 MiB
to stderr, interleaved, then its result; ours (vorn_drain_driver) is timed from its start until
both streams are at their end and the updater is reaped.

Baseline: the same updater with each stream piped into cat >/dev/null.
"""

import json
import os
import statistics
import subprocess
import time

from figures import Figure, log, ordered
from processes import timed


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
