"""The real setup program driven as a person (or a screen reader) drives it: started from a bundle,
its window found on the X display, its page's headings and buttons found through the accessibility
bus (AT-SPI) by the words the page shows in its own language, and pressed or clicked. The
walk-through of scripts/run and the desktop.user_road test share it.

Needs an X display, a session bus (for the accessibility bus), xdotool and xclip.
"""

import json
import os
import subprocess

import gi

import user_road

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

TITLE = "Vorn Preview Setup"
PROGRAM = "Contents/MacOS/vorn-preview-setup"
INSTALLED = os.path.join("Applications", "Vorn Preview Setup.app")

# Each state of the page is known by the heading that it shows.
HEADINGS = {
    "Install Vorn Preview": "start",
    "Connect the browser extension": "installed",
    "Setup is complete": "confirmed",
    "Installation didn\u2019t finish": "error",
}


RoadError = user_road.RoadError


# The page's words in the language it shows, which the program chooses from
# the environment that it inherits from here: the road finds the page's parts
# by their English words through the same catalogue.
WORDS = {}


def local(text, context=None):
    """As the page says it; a text the catalogue gives in a context (a button's
    "Install") is found under "context\u0004text"."""
    if context is not None and f"{context}\u0004{text}" in WORDS:
        return WORDS[f"{context}\u0004{text}"]
    return WORDS.get(text, text)


def copied(label):
    """What a Copy button says once it has copied: a message of its own, in the context of what it
    copied, which the page shows in English while its catalogue lacks it."""
    context = "address" if label == "Copy address" else "folder"
    return WORDS.get(f"{context}\u0004Copied", "Copied")


def load_words(bundle):
    ui = os.path.join(bundle, "Contents", "Resources", "ui")
    try:
        with open(os.path.join(ui, "catalogues.js"), encoding="utf-8") as file:
            source = file.read()
        # The catalogues' data, before the plural rules that follow it as code.
        catalogues = json.loads(source[source.index("{"):source.index("\n};\n") + 2])
    except (OSError, ValueError):
        return "en"
    for name in GLib.get_language_names():
        tag = name.split(".")[0].split("@")[0].replace("_", "-").lower()
        if tag.split("-")[0] == "en":
            return "en"
        if tag in catalogues:
            WORDS.update(catalogues[tag]["texts"])
            return catalogues[tag]["lang"]
    return "en"


def say(text=""):
    print(text, flush=True)


def wait(what, check, seconds=20.0):
    return user_road.wait(what, check, seconds, step=0.1)


# --- The accessibility tree ---------------------------------------------------


def text_of(node):
    """What a screen reader would read for a node: its name, else its text."""
    try:
        name = node.get_name() or ""
        if name:
            return name
        if "Text" in node.get_interfaces():
            return Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node)) or ""
    except gi.repository.GLib.Error:
        pass
    return ""


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    try:
        count = node.get_child_count()
    except gi.repository.GLib.Error:
        return
    for index in range(count):
        try:
            child = node.get_child_at_index(index)
        except gi.repository.GLib.Error:
            continue
        yield from walk(child, depth + 1)


def role(node):
    try:
        return node.get_role_name()
    except gi.repository.GLib.Error:
        return ""


def showing(node):
    try:
        return node.get_state_set().contains(Atspi.StateType.SHOWING)
    except gi.repository.GLib.Error:
        return False


def enabled(node):
    try:
        return node.get_state_set().contains(Atspi.StateType.ENABLED)
    except gi.repository.GLib.Error:
        return False


class Page:
    """The program's window and page as the accessibility bus shows them."""

    def __init__(self, pid):
        self.pid = pid
        self.app = None

    def application(self):
        if self.app is None:
            desktop = Atspi.get_desktop(0)
            for index in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(index)
                try:
                    if app is not None and app.get_process_id() == self.pid:
                        self.app = app
                        break
                except gi.repository.GLib.Error:
                    continue
        return self.app

    def nodes(self):
        app = self.application()
        return list(walk(app)) if app is not None else []

    def frame(self):
        for node in self.nodes():
            if role(node) == "frame" and text_of(node) == TITLE:
                return node
        return None

    def state(self):
        for node in self.nodes():
            if role(node) == "heading" and showing(node):
                state = {local(heading): name for heading, name in HEADINGS.items()}.get(text_of(node).strip())
                if state == "start" and self.button("Installing\u2026"):
                    return "installing"
                if state:
                    return state
        return None

    def button(self, label, shown=None):
        """The button that shows `label` as the page says it (or exactly `shown`)."""
        wanted = shown or local(label, "button")
        for node in self.nodes():
            if role(node) == "push button" and text_of(node).strip() == wanted and showing(node):
                return node
        return None

    def text_starting(self, prefix):
        for node in self.nodes():
            text = text_of(node)
            if text.startswith(prefix) and role(node) not in ("status", "section"):
                return text
        return None

    def labelled(self, name):
        """The text shown inside the node that carries the given accessible name."""
        for node in self.nodes():
            try:
                if node.get_name() == local(name) and "Text" in node.get_interfaces():
                    text = Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node))
                    return text.replace("\ufffc", "").strip() or None
            except gi.repository.GLib.Error:
                continue
        return None

    def dump(self):
        for node in self.nodes():
            say(f"      [{role(node)}] {text_of(node)!r}")

    def press(self, label):
        button = wait(f"a button labelled \u201c{label}\u201d", lambda: self.button(label))
        wait(f"\u201c{label}\u201d to be enabled", lambda: enabled(button), 5.0)
        button.do_action(0)  # a button's one action: press

    def click(self, label):
        """The button pressed with the pointer, at the middle of where the accessibility bus
        says it is on the screen, as a person's click lands."""
        button = wait(f"a button labelled \u201c{label}\u201d", lambda: self.button(label))
        wait(f"\u201c{label}\u201d to be enabled", lambda: enabled(button), 5.0)
        box = button.get_extents(Atspi.CoordType.SCREEN)
        if box.width <= 0 or box.height <= 0:
            raise RoadError(f"\u201c{label}\u201d has no place on the screen")
        user_road.click(box.x + box.width / 2, box.y + box.height / 2)


# --- The program ----------------------------------------------------------------


class Program:
    """The started program: its window on the display, its page on the accessibility bus, what it
    copied and what it installed under HOME."""

    def __init__(self):
        self.home = os.environ["HOME"]
        self.page = None

    def clipboard(self):
        run = subprocess.run(["xclip", "-selection", "clipboard", "-o"], capture_output=True, text=True, timeout=10)
        return run.stdout if run.returncode == 0 else None

    def window_id(self, pid):
        run = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", f"^{TITLE}$"],
                             capture_output=True, text=True)
        ids = run.stdout.split()
        return ids[0] if ids else None

    def start(self, bundle):
        program = os.path.join(bundle, PROGRAM)
        say(f"Starting {program}")
        # In the caller's language: the road finds things through that language's catalogue.
        process = subprocess.Popen([program], stdin=subprocess.DEVNULL)
        page = Page(process.pid)
        self.page = page
        xid = wait("the window", lambda: self.window_id(process.pid))
        geometry = subprocess.run(["xdotool", "getwindowgeometry", xid], capture_output=True, text=True).stdout
        size = next((line.split()[-1] for line in geometry.splitlines() if "Geometry" in line), "?")
        say(f"   the window \u201c{TITLE}\u201d is on screen, {size}")
        wait("the window on the accessibility bus", page.frame)
        return process, page, xid

    def expect(self, page, state, seconds=30.0):
        def reached():
            now = page.state()
            if now == "error" and state != "error":
                raise RoadError("the page shows an error: " + (page.text_starting("Installation could not") or "?"))
            return now == state

        wait(f"the page to show the {state} state", reached, seconds)

    def installed(self, page):
        folder = wait("the extension folder on the page", lambda: page.labelled("Extension folder"), 5.0)
        bundle = os.path.join(self.home, INSTALLED)
        files = sum(len(names) for _, _, names in os.walk(bundle))
        say(f"   event installed: {files} files of the bundle are now in {bundle}")
        say(f"   the updater prepared the extension folder {folder}")
        if not os.path.isfile(os.path.join(folder, "manifest.json")):
            raise RoadError("the extension folder holds no manifest.json")
        return folder
