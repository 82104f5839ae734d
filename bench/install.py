"""Installation of a 50 MB bundle of 2,000 files by the real installer on the headless platform
(vorn_install_driver), into an empty ~/Applications and over an existing bundle.

Baseline: cp -a to a staging name, sync, then mv into place (over an existing bundle: mv the old
one aside, mv the new one in, rm -rf the old one), so the ratio is what the installer costs beyond
copying and flushing.
"""

import os
import random
import shutil
import subprocess
import time

from figures import Figure, log, ordered
from processes import APP_NAME, timed


UPDATER_SCRIPT = """#!/bin/sh
printf '%s\\n' '{"folder":"/tmp/x","token":"t","version":"1"}'
"""


def make_bundle(root, files=2000, total=50_000_000):
    """A bundle tree of `files` files (including the program, the updater and the page) whose
    sizes add up to `total` bytes: a few large ones, many small ones, in nested folders."""
    rng = random.Random(2000)
    contents = root / "Contents"
    (contents / "MacOS").mkdir(parents=True)
    (contents / "MacOS" / "vorn-preview-setup").write_bytes(b"\x7fELF" + b"\0" * 4092)
    updater = contents / "MacOS" / "vorn-updater"
    updater.write_text(UPDATER_SCRIPT)
    updater.chmod(0o755)
    ui = contents / "Resources" / "ui"
    ui.mkdir(parents=True)
    (ui / "index.html").write_text("<!doctype html><title>Vorn Preview Setup</title>\n")
    fixed = sum(p.stat().st_size for p in root.rglob("*") if p.is_file())
    count = files - 3
    weights = [rng.lognormvariate(0, 1.5) for _ in range(count)]
    scale = (total - fixed) / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights]
    sizes[0] += total - fixed - sum(sizes)
    pool = os.urandom(4 << 20)
    for i, size in enumerate(sizes):
        folder = contents / "Resources" / f"pack{i % 20:02d}" / f"set{i % 7}"
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / f"item{i:04d}.bin", "wb") as out:
            left, offset = size, (i * 7919) % len(pool)
            while left:
                piece = min(left, len(pool) - offset)
                out.write(pool[offset:offset + piece])
                left -= piece
                offset = 0
    return root


def tree_summary(root):
    files = [p for p in root.rglob("*") if p.is_file()]
    return len(files), sum(p.stat().st_size for p in files)


def run_install(build, rounds, figures, work):
    log("install: making the bundle tree")
    source = make_bundle(work / "source" / APP_NAME)
    count, size = tree_summary(source)
    home = work / "home"
    apps = home / "Applications"
    dest = apps / APP_NAME
    env = dict(os.environ, HOME=str(home))
    driver = str(build / "bench" / "vorn_install_driver")

    def reset(existing):
        shutil.rmtree(apps, ignore_errors=True)
        apps.mkdir(parents=True)
        if existing:
            subprocess.run(["cp", "-a", str(source), str(dest)], check=True)
        subprocess.run(["sync"], check=True)

    def ours(existing):
        reset(existing)
        elapsed, _ = timed([driver, str(source)], env=env)
        n, s = tree_summary(dest)
        leftovers = [p.name for p in apps.iterdir() if p.name != APP_NAME]
        if (n, s) != (count, size) or leftovers:
            raise RuntimeError(f"installed tree differs: {n} files, {s} bytes, left over {leftovers}")
        return elapsed

    def base(existing):
        reset(existing)
        stage = apps / ".stage.app"
        start = time.perf_counter()
        subprocess.run(["cp", "-a", str(source), str(stage)], check=True)
        # The installer flushes its copy before it takes the name: so does the baseline.
        subprocess.run(["sync"], check=True)
        if existing:
            old = apps / ".old.app"
            subprocess.run(["mv", "-T", str(dest), str(old)], check=True)
            subprocess.run(["mv", "-T", str(stage), str(dest)], check=True)
            subprocess.run(["rm", "-rf", str(old)], check=True)
        else:
            subprocess.run(["mv", "-T", str(stage), str(dest)], check=True)
        return time.perf_counter() - start

    for existing, title, baseline in [
        (False, "install of a 50 MB bundle of 2,000 files into an empty ~/Applications",
         "cp -a to a staging name, sync, then mv into place"),
        (True, "install of the same bundle over an existing one",
         "cp -a to a staging name, sync, mv the old one aside, mv the new one in, rm -rf the old one"),
    ]:
        log(f"install: {'over an existing bundle' if existing else 'fresh'}")
        fig = Figure(title, "s", 1.2, f"{count} files, {size / 1e6:.1f} MB; baseline: {baseline}")
        try:
            ours(existing)  # warm the page cache and the dentry cache alike for both
            for r in range(rounds):
                fig.add(*ordered(r, lambda: ours(existing), lambda: base(existing)))
        except (RuntimeError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
            fig.failure = str(error)[:200]
        figures.append(fig)
    shutil.rmtree(home, ignore_errors=True)
