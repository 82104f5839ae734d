#!/usr/bin/python3
"""Walks a person's road through the real setup program, on the real page.

Starts the bundle's program, finds its window and page through the
accessibility bus (AT-SPI) and presses the page's buttons by their visible
labels, as a screen reader user would. It says what it does and what it sees,
takes a screenshot of each state and ends by making an animated GIF of them.
When Chromium is installed the first road confirms the setup as a person does
(tests/drivers/user_road.py): Chromium with a window beside the program, the address
pasted, Developer mode and Load unpacked clicked, the folder pasted into the
folder window and Open clicked; the retry road has headless Chromium load the
folder the updater reported. Either way the extension asks the native host to
write the receipt. Without Chromium the receipt writer stands in for the
extension. It says which way it took.

Needs an X display, a session bus (for the accessibility bus), xdotool,
xclip and ImageMagick; scripts/run provides all of it under Xvfb with a
temporary HOME. The program is not told that it is being driven.

  walkthrough.py --bundle B --receipt-writer W --shots DIR [--work DIR]

With VORN_WALKTHROUGH_DUMP set, a failed step also prints what the
accessibility bus shows of the window at that moment.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

# The drivers of the program and the browser are the desktop tests'; the walk-through borrows them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "drivers"))
import chromium_run  # noqa: E402
import program_page  # noqa: E402
import user_road  # noqa: E402
from program_page import Atspi, RoadError, copied, load_words, say, wait  # noqa: E402

UPDATER = "Contents/MacOS/vorn-updater"
FAILURE = "vorn-updater: the extension folder could not be prepared: no space left on the device"


def tool(name):
    """ImageMagick's own programs, not a wrapper of the same name on PATH."""
    for candidate in (f"/usr/bin/{name}-im6.q16", f"/usr/bin/{name}"):
        if os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which(name)
    if not found:
        raise RoadError(f"{name} (ImageMagick) is needed")
    return found


# --- The road -----------------------------------------------------------------


class Road(program_page.Program):
    def __init__(self, args):
        super().__init__()
        self.args = args
        self.shots = args.shots
        self.frames = []
        self.number = 0
        self.release = os.path.join(args.work, "updater-may-go-on")
        self.browsers = 0

    def screenshot(self, name, xid):
        """Saves the window once two captures in a row agree: the page has painted."""
        self.number += 1
        path = os.path.join(self.shots, f"{self.number}-{name}.png")
        capture = [tool("import"), "-window", xid, "-strip", "png:-"]
        previous = None
        deadline = time.monotonic() + 10.0
        while True:
            time.sleep(0.3)
            picture = subprocess.run(capture, capture_output=True, check=True).stdout
            # A blank window compresses to a few hundred bytes; any painted page is far larger.
            if (picture == previous and len(picture) > 4096) or time.monotonic() > deadline:
                break
            previous = picture
        with open(path, "wb") as file:
            file.write(picture)
        self.frames.append(path)
        say(f"   screenshot: {path}")

    def copy(self, page, label, expected):
        say(f"Pressing \u201c{label}\u201d.")
        page.press(label)
        wait("the button to say Copied", lambda: page.button("Copied", copied(label)), 5.0)
        held = wait("the clipboard", self.clipboard, 5.0)
        say(f"   event copied: the button says \u201cCopied\u201d; the clipboard holds \u201c{held}\u201d")
        if held != expected:
            raise RoadError(f"the clipboard should hold \u201c{expected}\u201d")

    def confirm(self, page, xid, folder, name=None):
        browser = chromium_run.find()
        if browser:
            self.confirm_in_browser(page, browser, folder)
        else:
            say("Chromium is not installed, so the receipt writer stands in for the extension, as it did before:")
            say(f"   {self.args.receipt_writer}")
            run = subprocess.run([self.args.receipt_writer], capture_output=True, text=True, check=True)
            say(f"   it wrote {run.stdout.strip()}")
            self.expect(page, "confirmed", 10.0)
            say("   event confirmed: the page says \u201cSetup is complete\u201d")
        if name:
            self.screenshot(name, xid)

    def confirm_in_browser(self, page, browser, folder):
        receipt = os.path.join(os.path.dirname(folder.rstrip("/")), "setup-confirmed.json")
        profile = os.path.join(self.home, ".config", "chromium")
        self.browsers += 1
        log = os.path.join(self.args.work, f"chromium-{self.browsers}.log")

        def stamp():
            try:
                status = os.stat(receipt)
                return status.st_ino, status.st_mtime_ns
            except FileNotFoundError:
                return None

        before = stamp()  # an earlier road's receipt, replaced (renamed over) by a new one
        say(f"Confirming through the browser: starting {browser} headless, its profile in {profile},")
        say("   with the folder that the updater reported as an unpacked extension")
        with chromium_run.Chromium(folder, log, self.home) as chromium:
            def seen(text, what, seconds=30.0):
                if chromium.wait_for(text, seconds) is None:
                    raise RoadError(f"gave up after {seconds:.0f} s waiting for {what}; the end of "
                                    f"Chromium's log:\n{chromium.log()[-2000:]}")

            seen(chromium_run.ORIGIN, "the extension's worker to start")
            say(f"   Chromium loaded the extension from {folder} (ID {chromium_run.EXTENSION_ID})")
            seen(chromium_run.ASKING, "the extension to ask the host")
            say(f"   the extension asked the host {chromium_run.HOST_NAME} to confirm the setup")
            wait("the receipt", lambda: stamp() not in (None, before), 15.0)
            say(f"   the receipt was written by the host: {receipt}")
            self.expect(page, "confirmed", 10.0)
            say("   event confirmed: the page shows \u201cSetup is complete\u201d")
            seen(chromium_run.CONFIRMED, "the extension to hear the answer", 5.0)
            say("   the extension heard the answer: its button says the setup is connected")
        say("   Chromium has been stopped")

    def persons_road(self, page, xid, folder):
        """The road a person takes in the browser (tests/drivers/user_road.py): Chromium with a window
        beside the program, the address pasted, Developer mode and Load unpacked clicked, the
        folder pasted into the folder window and Open clicked. Pictures of the whole screen."""
        receipt = os.path.join(os.path.dirname(folder.rstrip("/")), "setup-confirmed.json")
        # No window manager places the windows: the program at the left, the browser beside it.
        user_road.xdotool("windowmove", "--sync", xid, 0, 0)
        self.copy(page, "Copy address", "chrome://extensions/")
        self.screenshot("installed", "root")
        self.browsers += 1
        log = os.path.join(self.args.work, f"chromium-{self.browsers}.log")
        say("Chromium is installed: walking the person's road in it, with a window beside the program,")
        say(f"   its profile in {os.path.join(self.home, '.config', 'chromium')}")
        with user_road.Browser(self.home, log, user_road.place_beside(xid)) as browser:
            road = user_road.Road(browser, say, lambda name: self.screenshot(name, "root"))
            try:
                road.open_extensions()
                road.developer_mode()
                self.copy(page, "Copy folder", folder)
                dialog = road.load_unpacked()
                road.choose_folder(dialog)
                road.listed()
                if browser.wait_for(chromium_run.ASKING, 30.0) is None:
                    raise RoadError("the extension did not ask the host")
                say(f"   the extension asked the host {chromium_run.HOST_NAME} to confirm the setup")
                wait("the receipt", lambda: os.path.exists(receipt), 15.0)
                say(f"   the receipt was written by the host: {receipt}")
                self.expect(page, "confirmed", 10.0)
                say("   event confirmed: the page shows \u201cSetup is complete\u201d")
                self.screenshot("confirmed", "root")
            except user_road.RoadError as failure:
                raise RoadError(f"{failure}; the end of Chromium's log:\n{browser.log()[-1500:]}") from None
        say("   Chromium has been stopped")

    def done(self, process, page):
        say("Pressing \u201cDone\u201d.")
        page.press("Done")
        status = process.wait(timeout=15)
        say(f"   the program ended, exit status {status}")
        if status != 0:
            raise RoadError("the program should end with status 0")

    def bundle_copy(self, folder, updater_body):
        """A copy of the built bundle whose updater is a script around the sample one."""
        copy = os.path.join(self.args.work, folder, "Vorn Preview Setup.app")
        shutil.copytree(self.args.bundle, copy, symlinks=True)
        updater = os.path.join(copy, UPDATER)
        os.rename(updater, updater + ".sample")
        self.use_updater(copy, updater_body)
        return copy

    @staticmethod
    def use_updater(bundle, body):
        updater = os.path.join(bundle, UPDATER)
        with open(updater + ".new", "w", encoding="utf-8") as script:
            script.write(f"#!/bin/sh\n{body}\n")
        os.chmod(updater + ".new", 0o755)
        os.replace(updater + ".new", updater)

    def held_sample(self, bundle):
        """The sample updater, held until the driver lets it go (at most 30 s).

        The installed copy runs this, and then the sample updater beside it in that copy, so
        that the native host it registers is the installed one, as with the sample alone."""
        sample = os.path.basename(UPDATER) + ".sample"
        return (f"i=0\nwhile [ ! -e '{self.release}' ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done\n"
                f"exec \"$(dirname \"$0\")/{sample}\" \"$@\"")

    def happy(self):
        say("== The whole road: install, copy, confirm, done ==")
        bundle = self.bundle_copy("Downloads", "")
        self.use_updater(bundle, self.held_sample(bundle))
        say(f"A copy of the built bundle at {bundle}; its updater is the sample one, held back")
        say("until the installing state has been seen and photographed.")
        process, page, xid = self.start(bundle)
        try:
            self.expect(page, "start")
            say("   the page has loaded: \u201cInstall Vorn Preview\u201d, with an \u201cInstall\u201d button")
            self.screenshot("start", xid)

            say("Pressing \u201cInstall\u201d.")
            page.press("Install")
            self.expect(page, "installing", 5.0)
            say("   the page says \u201cInstalling Vorn Preview\u2026\u201d and Install waits, disabled")
            self.screenshot("installing", xid)
            say("   letting the updater go on")
            with open(self.release, "w", encoding="utf-8"):
                pass
            self.expect(page, "installed")
            folder = self.installed(page)

            if chromium_run.find():
                self.persons_road(page, xid, folder)
            else:
                self.copy(page, "Copy address", "chrome://extensions/")
                self.copy(page, "Copy folder", folder)
                self.screenshot("installed", xid)
                self.confirm(page, xid, folder, "confirmed")
            self.done(process, page)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()

    def failing(self):
        say()
        say("== The error road, and trying again ==")
        copy = self.bundle_copy("Failing Setup é", f"sleep 1\necho '{FAILURE}' >&2\nexit 3")
        say(f"A copy of the built bundle whose updater fails: {copy}")
        process, page, xid = self.start(copy)
        try:
            self.expect(page, "start")
            say("Pressing \u201cInstall\u201d.")
            page.press("Install")
            self.expect(page, "error")
            message = page.text_starting("Installation could not finish.")
            say(f"   event error: the page shows \u201c{(message or '').strip()}\u201d")
            self.screenshot("error", xid)

            say("Putting the sample updater back in the bundle, then pressing \u201cTry again\u201d.")
            self.use_updater(copy, self.held_sample(copy))
            page.press("Try again")
            self.expect(page, "installed")
            folder = self.installed(page)
            self.screenshot("installed-after-retry", xid)
            self.confirm(page, xid, folder)
            self.done(process, page)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()

    def animation(self):
        gif = os.path.join(self.shots, "walkthrough.gif")
        sizes = [subprocess.run([tool("identify"), "-format", "%w %h", path], capture_output=True, text=True,
                                check=True).stdout.split() for path in self.frames]
        # The program's window alone and the whole screen with the browser beside it, on one canvas:
        # the window where it stands on the screen, at the left.
        canvas = f"{max(int(w) for w, _ in sizes)}x{max(int(h) for _, h in sizes)}"
        frames = []
        for path in self.frames:
            frames += ["-delay", "180", "(", path, "-background", "black", "-gravity", "northwest",
                       "-extent", canvas, "+repage", ")"]
        frames[frames.index("-delay") + 1] = "250"
        subprocess.run([tool("convert"), "-loop", "0", *frames, "-resize", "50%", "-layers", "Optimize", gif],
                       check=True)
        return gif


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bundle", required=True)
    parser.add_argument("--receipt-writer", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--work", default=None, help="a scratch folder (default: beside HOME)")
    args = parser.parse_args()
    args.bundle = os.path.abspath(args.bundle)
    args.work = args.work or os.path.dirname(os.environ["HOME"])
    os.makedirs(args.shots, exist_ok=True)
    Atspi.init()
    say(f"The page's language: {load_words(args.bundle)}")
    road = Road(args)
    try:
        road.happy()
        road.failing()
    except (RoadError, subprocess.SubprocessError, OSError) as failure:
        say(f"FAILED: {failure}")
        if os.environ.get("VORN_WALKTHROUGH_DUMP") and road.page:
            road.page.dump()
        return 1
    gif = road.animation()
    say()
    say(f"Screenshots of each state are in {args.shots}:")
    for path in road.frames:
        say(f"   {os.path.basename(path)}")
    say(f"The whole road as one animated picture: {gif}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
