// The setup page's whole behaviour. The program is driven only by the bare command
// words posted here, and it answers only by calling window.vornSetup.receive(event).
(function () {
  "use strict";

  var COPIED_FOR_MS = 2000;
  // How long after "Check now" a missing answer means "not yet": the program
  // answers a matching check at once.
  var CHECK_ANSWER_MS = 1500;

  var ready = false;
  var early = [];
  var state = "start";
  var el = {};
  var copyTimers = {};
  var checkTimer = 0;
  var clicks = {};
  var texts = {};

  // The page's words in the language chosen below; English, the words as
  // written here and in index.html, where the catalogue has none.
  function _(text) {
    return Object.prototype.hasOwnProperty.call(texts, text) ? texts[text] : text;
  }

  // As gettext chooses: the first of the user's languages that has a catalogue,
  // a region falling back to its language (de-AT, then de). English is the
  // page's own language, so a user who puts it first gets it.
  function chooseLanguage() {
    var catalogues = window.vornCatalogues || {};
    var wanted = navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language];
    for (var i = 0; i < wanted.length; i++) {
      var parts = String(wanted[i] || "").replace(/_/g, "-").toLowerCase().split("-");
      for (var n = parts.length; n > 0; n--) {
        var tag = parts.slice(0, n).join("-");
        if (tag === "en") return { lang: "en", dir: "ltr", texts: {} };
        if (Object.prototype.hasOwnProperty.call(catalogues, tag)) return catalogues[tag];
      }
    }
    return { lang: "en", dir: "ltr", texts: {} };
  }

  var TRANSLATED_ATTRIBUTES = ["aria-label", "aria-valuetext", "data-label"];

  // The reverse of po/extract-strings: a data-i18n element's inner markup,
  // whitespace collapsed, and the attributes above are the messages.
  function translatePage() {
    var chosen = chooseLanguage();
    texts = chosen.texts;
    document.documentElement.lang = chosen.lang;
    document.documentElement.dir = chosen.dir;
    Array.prototype.forEach.call(document.querySelectorAll("[data-i18n]"), function (node) {
      var source = node.innerHTML.replace(/\s+/g, " ").trim();
      var text = _(source);
      // Only the catalogues' own markup (<strong>) is ever parsed.
      if (text.indexOf("<") !== -1) node.innerHTML = text;
      else node.textContent = text;
    });
    TRANSLATED_ATTRIBUTES.forEach(function (name) {
      Array.prototype.forEach.call(document.querySelectorAll("[" + name + "]"), function (node) {
        node.setAttribute(name, _(node.getAttribute(name)));
      });
    });
  }

  // Defined before the page has a body, since an event may come at any time; events
  // that come before the page is built are kept and handled in order once it is.
  window.vornSetup = {
    receive: function (event) {
      if (!ready) {
        early.push(event);
        return;
      }
      handle(event);
    }
  };

  function field(event, key) {
    if (event === null || typeof event !== "object") return "";
    if (!Object.prototype.hasOwnProperty.call(event, key)) return "";
    var value = event[key];
    return value === undefined || value === null ? "" : String(value);
  }

  function handle(event) {
    switch (field(event, "type")) {
      case "installed":
        el.folder.textContent = field(event, "folder");
        show("installed");
        break;
      case "error":
        // The program's own words, in English: kept left to right in any page.
        el.errorMessage.dir = "ltr";
        el.errorMessage.textContent = field(event, "message");
        show("error");
        break;
      case "copied":
        copied(field(event, "target"));
        break;
      case "confirmed":
        show("confirmed");
        break;
    }
  }

  // Returns false when there is no program to talk to, e.g. the file opened in a browser.
  function send(word) {
    try {
      window.webkit.messageHandlers.setup.postMessage(word);
      return true;
    } catch (e) {
      return false;
    }
  }

  function announce(text) {
    // Emptied first so that the same words said twice are still read out.
    el.status.textContent = "";
    window.setTimeout(function () {
      el.status.textContent = text;
    }, 50);
  }

  function show(next) {
    state = next;
    document.body.dataset.state = next;

    var installing = next === "installing";
    el.viewStart.hidden = !(next === "start" || installing);
    el.viewInstalled.hidden = next !== "installed";
    el.viewConfirmed.hidden = next !== "confirmed";
    el.viewError.hidden = next !== "error";

    el.install.disabled = installing;
    el.install.textContent = installing ? _("Installing…") : _("Install");
    el.progress.hidden = !installing;

    window.clearTimeout(checkTimer);
    el.checkNote.textContent = _("Once it is loaded, setup notices it within a second or two.");

    switch (next) {
      case "installing":
        announce(_("Installing Vorn Preview."));
        el.progressBar.focus();
        break;
      case "installed":
        announce(_("Vorn Preview is installed. Load the browser extension in Chrome; setup is waiting for it."));
        el.installedTitle.focus();
        break;
      case "confirmed":
        announce(_("Setup is complete."));
        el.done.focus();
        break;
      case "error":
        // The program's message already begins by saying that installing failed.
        announce(el.errorMessage.textContent);
        el.retry.focus();
        break;
    }
  }

  function install() {
    if (state !== "start" && state !== "error") return;
    if (!send("install")) {
      el.errorMessage.dir = document.documentElement.dir;
      el.errorMessage.textContent = _(
        "This page can only install from within Vorn Preview Setup. Open the setup program and try again."
      );
      show("error");
      return;
    }
    show("installing");
  }

  function copied(target) {
    var key = target === "extensions" ? "copyExtensions" : target === "folder" ? "copyFolder" : "";
    if (!key) return;
    relabel(key, _("Copied")).classList.add("is-copied");
    window.clearTimeout(copyTimers[target]);
    copyTimers[target] = window.setTimeout(function () {
      relabel(key, el[key].dataset.label).classList.remove("is-copied");
    }, COPIED_FOR_MS);
    announce(target === "extensions" ? _("Address copied.") : _("Folder copied."));
  }

  // WebKitGTK tells assistive technology a control's name once and never again,
  // so a button whose label changes is replaced by a new one that carries it;
  // keeping the focus on it is what makes the new label heard.
  function relabel(key, text) {
    var old = el[key];
    var fresh = old.cloneNode(false);
    fresh.textContent = text;
    fresh.addEventListener("click", clicks[key]);
    var focused = document.activeElement === old;
    old.parentNode.replaceChild(fresh, old);
    el[key] = fresh;
    if (focused) fresh.focus();
    return fresh;
  }

  // The controls that Tab reaches in the page as it stands, in order.
  function controls() {
    return Array.prototype.filter.call(document.querySelectorAll("button, [tabindex='0']"), function (node) {
      return !node.disabled && node.getClientRects().length > 0;
    });
  }

  // Tab and Shift+Tab go round the page's own controls: at either end the
  // engine would hand the focus to the toolkit's widget around the page.
  function cycle(event) {
    // Shift+Tab may come as the toolkit's left tab, which has no key name of its own.
    var tab = event.key === "Tab" || event.keyCode === 9;
    if (!tab || event.altKey || event.ctrlKey || event.metaKey) return;
    event.preventDefault();
    var list = controls();
    if (list.length === 0) return;
    var back = event.shiftKey;
    var active = document.activeElement;
    var at = list.indexOf(active);
    var next;
    if (at !== -1) {
      next = list[(at + (back ? list.length - 1 : 1)) % list.length];
    } else {
      // From a heading that took the focus on a change of state, or from nowhere.
      var around = list.filter(function (node) {
        if (!active || active === document.body) return true;
        var position = active.compareDocumentPosition(node);
        return (position & (back ? Node.DOCUMENT_POSITION_PRECEDING : Node.DOCUMENT_POSITION_FOLLOWING)) !== 0;
      });
      var pool = around.length > 0 ? around : list;
      next = back ? pool[pool.length - 1] : pool[0];
    }
    next.focus();
  }

  function check() {
    send("check");
    window.clearTimeout(checkTimer);
    el.checkNote.textContent = _("Checking…");
    checkTimer = window.setTimeout(function () {
      if (state !== "installed") return;
      el.checkNote.textContent = _("Not connected yet. Load the extension folder in Chrome, then check again.");
      announce(el.checkNote.textContent);
      // Heard as the button's new description while it keeps the focus.
      if (document.activeElement === el.check) relabel("check", el.check.textContent);
    }, CHECK_ANSWER_MS);
  }

  function build() {
    translatePage();
    var byId = function (id) {
      return document.getElementById(id);
    };
    el = {
      viewStart: byId("view-start"),
      viewInstalled: byId("view-installed"),
      viewConfirmed: byId("view-confirmed"),
      viewError: byId("view-error"),
      install: byId("install"),
      progress: byId("progress"),
      progressBar: byId("progress-bar"),
      installedTitle: byId("installed-title"),
      folder: byId("folder"),
      copyExtensions: byId("copy-extensions"),
      copyFolder: byId("copy-folder"),
      check: byId("check"),
      checkNote: byId("check-note"),
      done: byId("done"),
      retry: byId("retry"),
      errorMessage: byId("error-message"),
      status: byId("status")
    };

    el.install.addEventListener("click", install);
    el.retry.addEventListener("click", install);
    clicks.copyExtensions = function () {
      send("copyExtensions");
    };
    clicks.copyFolder = function () {
      send("copyFolder");
    };
    el.copyExtensions.addEventListener("click", clicks.copyExtensions);
    el.copyFolder.addEventListener("click", clicks.copyFolder);
    clicks.check = check;
    el.check.addEventListener("click", check);
    el.done.addEventListener("click", function () {
      send("done");
    });
    document.addEventListener("keydown", cycle);

    document.body.dataset.state = state;
    ready = true;
    var pending = early;
    early = [];
    pending.forEach(handle);
    if (state === "start") el.install.focus();
  }

  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", build);
  } else {
    build();
  }
})();
