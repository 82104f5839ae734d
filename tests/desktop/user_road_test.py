#!/usr/bin/python3
"""The road a person takes, walked with the pointer and keys: the real program from a copy of the
built bundle and Debian's Chromium with a window, on one virtual display (tests/drivers/with-desktop gives
each run its own HOME and session bus).

open:  Install and Copy address clicked where the accessibility bus places them; in Chromium the
       address pasted (Ctrl+L, Ctrl+V, Enter), Developer mode and Load unpacked clicked; Copy folder
       clicked; in the folder window Ctrl+L, Ctrl+V and Open clicked. The extensions page lists the
       extension by its fixed ID, its worker asks the host, the receipt names this setup's token,
       the page is confirmed and Done ends the program with 0.
enter: the same with Enter in the folder window: nothing is loaded, no receipt, and the page shows
       its hint after its long wait (shortened in this copy of the page only); then Load unpacked
       again, the folder pasted and Open clicked, as the hint says, confirms.

A screenshot of the screen at each step goes to --shots, which is removed when the road passes
(unless --keep).

  user_road_test.py --bundle B --shots DIR --road open|enter [--keep]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "drivers"))

import chromium_run  # noqa: E402
import program_page  # noqa: E402
import user_road  # noqa: E402

# The page's own wait before its hint, and what this copy of the page waits instead.
LONG_WAIT = "var STILL_WAITING_MS = 45000;"
SHORT_WAIT = "var STILL_WAITING_MS = 25000;"
HINT = "Still waiting? If the folder window was closed with Enter, nothing was loaded"


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    program_page.say(f"   ok: {what}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bundle", required=True)
    parser.add_argument("--shots", required=True)
    parser.add_argument("--road", choices=("open", "enter"), required=True)
    parser.add_argument("--keep", action="store_true", help="keep the screenshots when the road passes")
    args = parser.parse_args()
    if chromium_run.find() is None:
        print("chromium is missing: scripts/install-deps build installs it", file=sys.stderr)
        return 1
    work = os.environ["VORN_DESKTOP_WORK"]
    home = os.environ["HOME"]
    shutil.rmtree(args.shots, ignore_errors=True)
    os.makedirs(args.shots)
    program_page.Atspi.init()

    bundle = os.path.join(work, "Downloads", "Vorn Preview Setup.app")
    shutil.copytree(os.path.abspath(args.bundle), bundle, symlinks=True)
    if args.road == "enter":
        script = os.path.join(bundle, "Contents", "Resources", "ui", "setup.js")
        with open(script, encoding="utf-8") as file:
            source = file.read()
        if LONG_WAIT not in source:
            raise SystemExit(f"the page's long wait is no longer \u201c{LONG_WAIT}\u201d: update this test")
        with open(script, "w", encoding="utf-8") as file:
            file.write(source.replace(LONG_WAIT, SHORT_WAIT))

    shots = []

    def shot(name):
        path = os.path.join(args.shots, f"{len(shots) + 1:02d}-{name}.png")
        with open(path, "wb") as file:
            file.write(user_road.capture())
        shots.append(path)

    def copy(label, expected):
        """The page's Copy button clicked until it says Copied (a person clicks again when a click did
        not take), then the clipboard holds what it copied."""
        for attempt in range(2):
            program_page.say(f"Clicking \u201c{label}\u201d." if attempt == 0 else
                            f"   the button did not say Copied; clicking \u201c{label}\u201d again.")
            page.click(label)
            try:
                shown = program_page.copied(label)
                user_road.wait("the button to say Copied", lambda: page.button("Copied", shown), 5.0, 0.1)
                break
            except user_road.RoadError:
                if attempt == 1:
                    raise
        user_road.wait(f"\u201c{expected}\u201d on the clipboard", lambda: program.clipboard() == expected, 10.0)

    program = program_page.Program()
    process, page, xid = program.start(bundle)
    # No window manager here: put the program at the left, the browser goes beside it.
    user_road.xdotool("windowmove", "--sync", xid, 0, 0)
    browser = None
    try:
        program.expect(page, "start")
        shot("start")
        program_page.say("Clicking \u201cInstall\u201d.")
        page.click("Install")
        program.expect(page, "installed", 60.0)
        folder = program.installed(page)
        record = json.load(open(os.path.join(home, ".local", "share", "vorn-preview", "last-setup.json")))
        receipt = os.path.join(os.path.dirname(folder.rstrip("/")), "setup-confirmed.json")

        copy("Copy address", user_road.EXTENSIONS)
        shot("address-copied")

        browser = user_road.Browser(home, os.path.join(args.shots, "chromium.log"), user_road.place_beside(xid))
        road = user_road.Road(browser, program_page.say, shot)
        road.open_extensions()
        road.developer_mode()

        copy("Copy folder", folder)

        dialog = road.load_unpacked()
        road.choose_folder(dialog, enter=args.road == "enter")
        if args.road == "enter":
            shot("closed-with-enter")
            # The page's hint comes after its (shortened) wait; by then a folder chosen would long have
            # been listed and confirmed.
            hint = user_road.wait("the page's hint", lambda: page.text_starting(HINT), 30.0, 0.2)
            shot("hint")
            check(road.not_listed(), "the extensions page does not list the extension")
            check(not os.path.exists(receipt), "no receipt was written")
            check(page.state() == "installed", "the page is still waiting")
            check(hint.startswith(HINT), "the page shows the hint naming the Enter trap")
            check(chromium_run.ASKING not in browser.log(), "no worker asked the host")
            program_page.say("Doing what the hint says: Load unpacked again, the folder pasted, Open clicked.")
            dialog = road.load_unpacked()
            road.choose_folder(dialog)

        road.listed()
        shot("loaded")
        check(browser.wait_for(chromium_run.ASKING, 30.0) is not None, "the extension's worker asked the host")
        user_road.wait("the receipt", lambda: os.path.exists(receipt), 15.0)
        written = json.load(open(receipt))
        check(written.get("token") == record["token"], "the receipt names this setup's token")
        program.expect(page, "confirmed", 15.0)
        check(True, "the page says the setup is complete")
        shot("confirmed")
        program_page.say("Clicking \u201cDone\u201d.")
        page.click("Done")
        status = process.wait(timeout=15)
        check(status == 0, f"Done ended the program with 0 (it ended with {status})")
    except (Failure, user_road.RoadError, program_page.RoadError, subprocess.SubprocessError, OSError,
            KeyError, ValueError) as failure:
        print(f"FAILED: {failure}", flush=True)
        try:
            shot("failed")
        except OSError:
            pass
        if browser is not None:
            print("The end of Chromium's log:\n" + browser.log()[-3000:])
        print(f"Screenshots of each step are kept in {args.shots}")
        return 1
    finally:
        if browser is not None:
            browser.stop()
        if process.poll() is None:
            process.kill()
            process.wait()
    if not args.keep:
        shutil.rmtree(args.shots, ignore_errors=True)
    program_page.say(f"The {args.road} road passed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
