"""Headless Chromium loading one unpacked extension, as the walk-through and the bench run it.

Its profile is <HOME>/.config/chromium, where the updater registers the native host (a browser
without --user-data-dir uses a throw-away profile that sees no host). It runs in a session and
process group of its own, which stop() ends whole. Its output, the extension's console lines
included, goes to a log file.
"""

import os
import shutil
import signal
import subprocess
import time

HOST_NAME = "com.vorn.preview_setup"
EXTENSION_ID = "ldieoajldojdadeoenlijijeolcdiogl"
ORIGIN = f"chrome-extension://{EXTENSION_ID}/"
# What the extension's worker writes to its console (tools/extension/background.js).
ASKING = f"vorn: asking {HOST_NAME}"
CONFIRMED = "vorn: the setup is confirmed"
REFUSED = "vorn: no confirmation yet"


def find():
    """The chromium program, or None when it is not installed."""
    return shutil.which("chromium")


class BrowserProcess:
    """A Chromium started with `argv` and HOME at `home`, in a session and process group of its
    own, which stop() ends whole; its output goes to the file `log`."""

    def __init__(self, argv, home, log, env=None):
        self.log_path = log
        # Settings in memory: no dconf database under HOME.
        env = dict(env or os.environ, HOME=home, GSETTINGS_BACKEND="memory")
        with open(log, "wb") as out:
            self.started = time.monotonic()
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                         env=env, start_new_session=True)

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as file:
                return file.read()
        except OSError:
            return ""

    def wait_for(self, text, seconds):
        """The monotonic time by which `text` was in the log, or None after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            now = time.monotonic()
            if text in self.log():
                return now
            if now > deadline or self.proc.poll() is not None:
                return now if text in self.log() else None
            time.sleep(0.02)

    def stop(self):
        """SIGTERM to the whole group, SIGKILL to what is left of it after five seconds."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                break
            deadline = time.monotonic() + 5.0
            while time.monotonic() < deadline:
                self.proc.poll()
                try:
                    os.killpg(self.proc.pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)
            else:
                continue
            break
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


class Chromium(BrowserProcess):
    """Headless, loading `extension` from the start."""

    def __init__(self, extension, log, home=None, env=None):
        home = home or os.environ["HOME"]
        argv = [find() or "chromium", "--headless=new",
                "--no-sandbox",  # as root it does not start without
                f"--user-data-dir={os.path.join(home, '.config', 'chromium')}",
                f"--load-extension={extension}",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-gpu", "--password-store=basic",
                "--enable-logging=stderr", "--v=0", "about:blank"]
        super().__init__(argv, home, log, env)
