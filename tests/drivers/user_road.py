"""The road a person takes in Chromium to load the extension, walked with the pointer and keys.

Chromium runs with a window on the X display, its profile under HOME (where the updater registers
the native host). Everything is done as a person does it, through the X server (xdotool): the
address pasted into the address bar, the Developer mode switch and "Load unpacked" clicked, the
folder pasted into the folder window and its Open button clicked. The DevTools protocol, on
127.0.0.1 only, is used to learn where the extensions page's own controls are and what the page
lists; it never presses anything. The walk-through, the desktop test and the bench share this.
"""

import base64
import json
import os
import socket
import struct
import subprocess
import time
import urllib.request

import chromium_run

EXTENSIONS = "chrome://extensions/"
# Chromium's GTK folder window, as a person sees it: no header bar, Cancel and Open at the bottom
# right of its action area. The centre of Open lies this far in from the window's lower right corner.
OPEN_FROM_RIGHT = 50
OPEN_FROM_BOTTOM = 24
# Cancel stands just left of Open, in English as the roads run.
CANCEL_FROM_RIGHT = 138


class RoadError(Exception):
    pass


class PageNotReady(RoadError):
    """The page is between documents: just navigated, its script not yet running."""


def wait(what, check, seconds=20.0, step=0.05):
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RoadError(f"gave up after {seconds:.0f} s waiting for {what}")
        time.sleep(step)


# --- The X server: pointer, keys, windows and pictures --------------------------------------


def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=20).stdout


def click(x, y):
    """The pointer moved to (x, y) and its first button pressed and released there."""
    xdotool("mousemove", "--sync", int(x), int(y))
    xdotool("click", "1")


def keys(*combos):
    """Keys as a person types them, to the window that has the keyboard."""
    for combo in combos:
        xdotool("key", combo)


def windows(pid=None, name=None):
    """The shown windows of a process, or of any whose name matches, or all."""
    args = ["search", "--all", "--onlyvisible"] + (["--pid", pid] if pid else []) + (["--name", name] if name else [])
    if not pid and not name:
        args += ["--name", ""]
    return xdotool(*args).split()


def geometry(xid):
    """(x, y, width, height) of a window on the screen, or None once it is gone."""
    values = {}
    for line in xdotool("getwindowgeometry", "--shell", xid).splitlines():
        key, _, value = line.partition("=")
        values[key] = value
    try:
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    except (KeyError, ValueError):
        return None


def screen():
    width, height = xdotool("getdisplaygeometry").split()
    return int(width), int(height)


def capture(xid="root"):
    """The window's picture as PNG bytes (the whole screen for "root")."""
    for candidate in ("/usr/bin/import-im6.q16", "/usr/bin/import"):
        if os.access(candidate, os.X_OK):
            break
    run = subprocess.run([candidate, "-window", xid, "-strip", "png:-"], capture_output=True, timeout=30)
    return run.stdout if run.returncode == 0 else b""


def keys_until_changed(xid, combo, what, seconds=10.0):
    """Types `combo` and waits until the window's picture shows its effect."""
    before = capture(xid)
    keys(combo)
    wait(what, lambda: capture(xid) != before, seconds, 0.1)


# --- The DevTools protocol: where the page's controls are, and what it shows ----------------


class DevTools:
    """One page of the browser over the protocol's web socket (RFC 6455, text frames only)."""

    def __init__(self, url):
        address, _, path = url.split("://", 1)[1].partition("/")
        host, _, port = address.partition(":")
        if host != "127.0.0.1":
            raise RoadError(f"the DevTools protocol is used on 127.0.0.1 only, not {host}")
        self.sock = socket.create_connection((host, int(port)), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {address}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            part = self.sock.recv(1)
            if not part:
                raise RoadError("the DevTools socket closed during its handshake")
            head += part
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise RoadError("the DevTools socket refused: " + head.decode(errors="replace")[:200])
        self.last = 0

    def close(self):
        self.sock.close()

    def _exactly(self, count):
        data = b""
        while len(data) < count:
            part = self.sock.recv(count - len(data))
            if not part:
                raise RoadError("the DevTools socket closed")
            data += part
        return data

    def _send(self, text):
        data = text.encode()
        size = len(data)
        if size < 126:
            header = bytes([0x81, 0x80 | size])
        elif size < 65536:
            header = bytes([0x81, 0x80 | 126]) + struct.pack(">H", size)
        else:
            header = bytes([0x81, 0x80 | 127]) + struct.pack(">Q", size)
        mask = os.urandom(4)  # a client masks every frame
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _receive(self):
        message = b""
        while True:
            first, second = self._exactly(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack(">H", self._exactly(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", self._exactly(8))[0]
            payload = self._exactly(size)
            opcode = first & 0x0F
            if opcode in (0, 1):
                message += payload
                if first & 0x80:
                    return json.loads(message)

    def evaluate(self, expression):
        """The value of a read-only expression in the page."""
        self.last += 1
        self._send(json.dumps({"id": self.last, "method": "Runtime.evaluate",
                               "params": {"expression": expression, "returnByValue": True}}))
        while True:
            answer = self._receive()
            if answer.get("id") == self.last:
                if "error" in answer:
                    message = answer["error"].get("message", "")
                    if "execution context" in message.lower():
                        raise PageNotReady(message)
                    raise RoadError(f"the page could not be read: {answer['error']}")
                return answer["result"]["result"].get("value")


# What the extensions page shows: its toolbar's two controls (their boxes in the page, and whether
# they are on / shown), the page's offset in the window, and the extensions it lists.
READ_EXTENSIONS_PAGE = """(() => {
  const manager = document.querySelector("extensions-manager");
  const toolbar = manager && manager.shadowRoot.querySelector("extensions-toolbar");
  if (!toolbar || !toolbar.shadowRoot) return null;
  const box = (node) => {
    if (!node) return null;
    const r = node.getBoundingClientRect();
    return {x: r.x, y: r.y, width: r.width, height: r.height, on: !!node.checked};
  };
  const list = manager.shadowRoot.querySelector("extensions-item-list");
  const items = list && list.shadowRoot ? [...list.shadowRoot.querySelectorAll("extensions-item")] : [];
  return {
    developerMode: box(toolbar.shadowRoot.querySelector("#devMode")),
    loadUnpacked: box(toolbar.shadowRoot.querySelector("#loadUnpacked")),
    left: (outerWidth - innerWidth) / 2, top: outerHeight - innerHeight,
    listed: items.map((item) => ({id: item.id, name: item.shadowRoot.querySelector("#name").textContent.trim()})),
  };
})()"""


# --- Chromium with a window -------------------------------------------------------------------


class Browser(chromium_run.BrowserProcess):
    """Chromium with a window at `place` (x, y, width, height), its profile under HOME, and the
    DevTools protocol on a port it picks itself on 127.0.0.1; it ends, and logs, as every
    BrowserProcess does (the extension's console lines included)."""

    def __init__(self, home, log, place, env=None):
        self.profile = os.path.join(home, ".config", "chromium")
        x, y, width, height = place
        argv = [chromium_run.find() or "chromium",
                f"--user-data-dir={self.profile}",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-quic", "--password-store=basic",
                "--remote-debugging-port=0",  # the port it took is in DevToolsActivePort
                # No window manager places it: beside the program, not over it.
                f"--window-position={x},{y}", f"--window-size={width},{height}",
                # The worker's console lines, which say that it asked the host.
                "--enable-logging=stderr", "--v=0"]
        if os.geteuid() == 0:
            argv.append("--no-sandbox")  # it does not start as root without
        argv.append("about:blank")
        try:
            os.remove(os.path.join(self.profile, "DevToolsActivePort"))
        except FileNotFoundError:
            pass
        super().__init__(argv, home, log, env)
        self.port = None
        self.xid = None

    def alive(self):
        if self.proc.poll() is not None:
            raise RoadError(f"Chromium ended with {self.proc.returncode}; the end of its log:\n{self.log()[-1500:]}")
        return True

    def big_windows(self):
        """The browser's shown windows of a dialog's size or more: not a menu, a tooltip or the
        address bar's suggestions."""
        found = []
        for xid in windows(self.proc.pid):
            box = geometry(xid)
            if box and box[2] > 400 and box[3] > 300:
                found.append(xid)
        return found

    def window(self):
        """The browser's own window, once it is shown (the first it shows, in any language)."""
        if self.xid is None:
            def found():
                self.alive()
                return next(iter(self.big_windows()), None)
            self.xid = wait("Chromium's window", found, 60.0)
        return self.xid

    def devtools_port(self):
        if self.port is None:
            def read():
                self.alive()
                try:
                    with open(os.path.join(self.profile, "DevToolsActivePort"), encoding="utf-8") as file:
                        return int(file.readline())
                except (OSError, ValueError):
                    return None
            self.port = wait("the DevTools port", read, 60.0)
        return self.port

    def targets(self):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.devtools_port()}/json/list", timeout=10) as answer:
            return json.load(answer)

    def extensions_page(self):
        """What the open extensions page shows (READ_EXTENSIONS_PAGE), or None while none shows it."""
        for target in self.targets():
            if target.get("type") == "page" and target.get("url", "").startswith(EXTENSIONS):
                page = DevTools(target["webSocketDebuggerUrl"])
                try:
                    return page.evaluate(READ_EXTENSIONS_PAGE)
                except PageNotReady:
                    return None  # read again once the page has its document
                finally:
                    page.close()
        return None

    def folder_window(self):
        """Chromium's folder window: its window other than the browser's."""
        return next((xid for xid in self.big_windows() if xid != self.window()), None)


def place_beside(program_window=None, margin=8):
    """Where the browser's window goes: to the right of the program's, the rest of the screen."""
    width, height = screen()
    left = 0
    if program_window is not None:
        box = geometry(program_window)
        if box:
            left = box[0] + box[2] + margin
    if width - left < 560:  # too narrow beside it: over it, where the bench has no one to look
        left = 0
    return left, 0, width - left, height


def center(box, page):
    """The screen point at the middle of a box the page reported, in the browser's window."""
    return (page["window"][0] + page["left"] + box["x"] + box["width"] / 2,
            page["window"][1] + page["top"] + box["y"] + box["height"] / 2)


class Road:
    """The person's steps in the browser. `say` narrates; `shot(name)` takes a picture of a step."""

    def __init__(self, browser, say=lambda text: None, shot=lambda name: None):
        self.browser = browser
        self.say = say
        self.shot = shot
        self.xid = None

    def page(self, check, what, seconds=30.0, still=None):
        """Waits until the extensions page, read as it shows, satisfies `check`, and, with `still`,
        until that control's box is where it was at the read before (the toolbar slides in);
        answers what it shows."""
        before = {}

        def read():
            self.browser.alive()
            shown = self.browser.extensions_page()
            if shown is None or shown["developerMode"] is None:
                return None
            shown["window"] = geometry(self.xid)
            if not check(shown):
                return None
            if still is not None:
                box, before["box"] = before.get("box"), (shown[still], shown["window"])
                if box != before["box"]:
                    return None
            return shown
        return wait(what, read, seconds, 0.1)

    def focus(self):
        # What a person's click on the window does; with no window manager nobody else does it.
        xdotool("windowraise", self.xid)
        xdotool("windowfocus", "--sync", self.xid)

    def open_extensions(self):
        """With the address on the clipboard: Ctrl+L, Ctrl+V, Enter in the browser."""
        self.xid = self.browser.window()
        self.browser.devtools_port()
        self.focus()
        self.say("Pasting the address into Chromium's address bar: Ctrl+L, Ctrl+V, Enter")
        keys_until_changed(self.xid, "ctrl+l", "the address bar to take the keys")
        keys_until_changed(self.xid, "ctrl+v", "the address to be pasted")
        keys("Return")
        shown = self.page(lambda p: True, "Chromium to show its extensions page", 30.0)
        self.say(f"   Chromium shows {EXTENSIONS}; Developer mode is {'on' if shown['developerMode']['on'] else 'off'}")
        self.shot("extensions-page")
        return shown

    def developer_mode(self):
        shown = self.page(lambda p: p["developerMode"]["width"] > 0, "the Developer mode switch", still="developerMode")
        if not shown["developerMode"]["on"]:
            self.say("Turning on Developer mode")
            click(*center(shown["developerMode"], shown))
        shown = self.page(lambda p: p["developerMode"]["on"] and p["loadUnpacked"]["width"] > 0,
                          "Developer mode to be on and Load unpacked to show")
        self.say("   Developer mode is on; the page shows \u201cLoad unpacked\u201d")
        self.shot("developer-mode")
        return shown

    def load_unpacked(self):
        shown = self.page(lambda p: p["loadUnpacked"]["width"] > 0, "Load unpacked", still="loadUnpacked")
        self.say("Pressing Load unpacked")
        click(*center(shown["loadUnpacked"], shown))
        dialog = wait("Chromium's folder window", lambda: self.browser.alive() and self.browser.folder_window(), 30.0)
        wait("the folder window to be drawn", lambda: len(capture(dialog)) > 4096, 10.0, 0.1)
        title = xdotool("getwindowname", dialog).strip()
        self.say(f"   the folder window \u201c{title}\u201d is open")
        self.shot("folder-window")
        return dialog

    def choose_folder(self, dialog, enter=False):
        """With the folder on the clipboard: Ctrl+L, Ctrl+V, then Open clicked (or Enter pressed).
        Answers the monotonic time of the click or key."""
        self.say("Pasting the folder into Chromium's folder window: Ctrl+L, Ctrl+V")
        xdotool("windowfocus", "--sync", dialog)
        keys_until_changed(dialog, "ctrl+l", "the folder window's location field")
        keys_until_changed(dialog, "ctrl+v", "the folder to be pasted")
        self.shot("folder-pasted")
        if enter:
            self.say("Pressing Enter in the folder window")
            keys("Return")
        else:
            x, y, width, height = geometry(dialog)
            self.say("Clicking Open")
            click(x + width - OPEN_FROM_RIGHT, y + height - OPEN_FROM_BOTTOM)
        chosen = time.monotonic()
        try:
            wait("the folder window to close", lambda: self.browser.folder_window() is None, 15.0)
        except RoadError:
            if not enter:
                raise
            # Some builds' window (Chromium 150's) takes Enter as leaving the location field and stays
            # open, nothing chosen either. Closed as a person would close it, with its Cancel, the road
            # goes on as after a cancel.
            self.shot("open-after-enter")
            self.say("   the folder window stays open after Enter, with nothing chosen; clicking Cancel")
            x, y, width, height = geometry(dialog)
            click(x + width - CANCEL_FROM_RIGHT, y + height - OPEN_FROM_BOTTOM)
            wait("the folder window to close after Cancel", lambda: self.browser.folder_window() is None, 15.0)
        return chosen

    def listed(self, seconds=15.0):
        """The extensions page once it lists our extension, by its fixed ID."""
        shown = self.page(lambda p: any(e["id"] == chromium_run.EXTENSION_ID for e in p["listed"]),
                          f"the extensions page to list {chromium_run.EXTENSION_ID}", seconds)
        name = next(e["name"] for e in shown["listed"] if e["id"] == chromium_run.EXTENSION_ID)
        self.say(f"   the extensions page lists \u201c{name}\u201d, ID {chromium_run.EXTENSION_ID}")
        return shown

    def not_listed(self):
        shown = self.page(lambda p: True, "the extensions page")
        return all(e["id"] != chromium_run.EXTENSION_ID for e in shown["listed"])
