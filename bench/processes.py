"""How the benchmarks start and watch processes; nothing is measured here.

A timed run of a command; the process table read from /proc (process trees, resident memory);
the probe bundle, our program as shipped with the start-up probe (and its ticking twin) beside it
and a page that posts "check" at once and reports every state it enters; and the Follower, which
drives a probe in idle mode through its standard input and reads its posts.
"""

import collections
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path


APP_NAME = "Vorn Preview Setup.app"


def timed(argv, env=None, timeout=600):
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{Path(argv[0]).name} failed ({done.returncode}): {done.stdout.strip()} "
                           f"{done.stderr.strip()}"[:300])
    return elapsed, done.stdout


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


# The same probe with every folder watch refused (bench/startup/CMakeLists.txt): the program as it
# was before the watch, confirming at its once-a-second tick only.
TICKING_PROBE = "vorn_startup_probe_ticking"


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
