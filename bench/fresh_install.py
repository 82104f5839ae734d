"""The start of every browser round: the program (the probe, in idle mode) installs into a fresh
HOME for real, and the round gets the setup the updater recorded. Used by bench/browser.py,
bench/watch.py and bench/person_road.py."""

import contextlib
import json
import shutil
import tempfile
from pathlib import Path


@contextlib.contextmanager
def installed(follower_class, probe, env, work, prefix):
    """Yields (home, env with that HOME, the follower of the installed program, the setup's
    record, where its receipt goes); the program ends and the HOME goes afterwards."""
    home = Path(tempfile.mkdtemp(prefix=prefix, dir=work))
    env = dict(env, HOME=str(home))
    follower = follower_class([str(probe)], env)
    try:
        follower.wait_post("bench-state:start", 60)
        follower.send('document.getElementById("install").click();')
        follower.wait_post("bench-state:installed", 60)
        setup = json.loads((home / ".local" / "share" / "vorn-preview" / "last-setup.json").read_text())
        yield home, env, follower, setup, Path(setup["folder"]).parent / "setup-confirmed.json"
    finally:
        follower.close()
        shutil.rmtree(home, ignore_errors=True)
