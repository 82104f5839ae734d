// The setup page's whole behaviour. The program is driven only by the bare command
// words posted here, and it answers only by calling window.vornSetup.receive(event).
(function () {
  "use strict";

  var COPIED_FOR_MS = 2000;
  // How long after "Check now" a missing answer means "not yet": the program
  // answers a matching check at once.
  var CHECK_ANSWER_MS = 1500;
  // The extension confirms a new setup by itself within this long; a page still
  // waiting then tells the user how to make it look at once.
  var STILL_WAITING_MS = 45000;

  // Every error event's message begins so; what follows is the failure's own
  // description, in English, as the program wrote it.
  var FAILURE_LEAD = "Installation could not finish. ";
  // The failures the page can say in its own words, by how that description
  // begins. A sentence is made when it is shown, in the page's language then.
  var FAILURES = [
    ["The updater did not finish within ", function (rest) {
      var seconds = parseInt(rest, 10);
      if (!(seconds >= 0)) return "";
      // TRANSLATORS: The failures below are shown above the program's own
      // message, which stays in English. %d is a number of seconds (120).
      var text = ngettext("The updater did not finish within %d second, so it was stopped.",
        "The updater did not finish within %d seconds, so it was stopped.", seconds);
      return text.replace("%d", number(seconds));
    }],
    ["Could not create the folder ", function () {
      // TRANSLATORS: "Applications" is the name of a folder on disk and stays as it
      // is; say "your Applications folder" as your language quotes a folder name.
      return _("Your Applications folder could not be created.");
    }],
    ["Could not copy ", function () {
      return _("Vorn Preview could not be copied into your Applications folder.");
    }],
    ["Something else has the name ", function () {
      // TRANSLATORS: "Applications" is the name of a folder on disk and
      // "Vorn Preview Setup.app" the name of a file in it; both stay as they are.
      return _("Your Applications folder already holds something else named “Vorn Preview Setup.app”, which setup leaves as it is. Move or rename it, then try again.");
    }],
    ["Could not replace ", putInPlace],
    ["Could not move ", putInPlace],
    ["Could not run ", function () {
      // TRANSLATORS: "The updater" is the small program inside Vorn Preview that
      // finishes the installation.
      return _("The updater could not be started.");
    }],
    ["The updater's result ", function () {
      return _("The updater’s answer could not be read.");
    }],
    ["vorn-updater: ", function () {
      return _("The updater reported a problem.");
    }]
  ];

  function putInPlace() {
    return _("Vorn Preview could not be put in place in your Applications folder.");
  }

  var ready = false;
  var early = [];
  var state = "start";
  var el = {};
  var copyTimers = {};
  var checkTimer = 0;
  var clicks = {};
  var language = { lang: "en", dir: "ltr" };
  var words = window.vornGettext(null);
  // What the page shows besides its state: how far a check has gone ("", "checking"
  // or "missing"), whether the long wait is told, and the error shown.
  var checking = "";
  var waitedLong = false;
  var waitTimer = 0;
  var failure = null;

  // The page's words in the language chosen below; English, the words as
  // written here and in index.html, where the catalogue has none.
  function _(text) {
    return words.gettext(text);
  }

  function pgettext(context, text) {
    return words.pgettext(context, text);
  }

  function ngettext(singular, plural, n) {
    return words.ngettext(singular, plural, n);
  }

  function number(n) {
    try {
      return new Intl.NumberFormat(language.lang, { useGrouping: false }).format(n);
    } catch (e) {
      return String(n);
    }
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
        if (tag === "en") return null;
        if (Object.prototype.hasOwnProperty.call(catalogues, tag)) return catalogues[tag];
      }
    }
    return null;
  }

  var TRANSLATED_ATTRIBUTES = ["aria-label", "aria-valuetext", "data-label"];

  // The reverse of po/extract-strings: a data-i18n element's inner markup,
  // whitespace collapsed, in its data-i18n-context, and the attributes above
  // are the messages. The English is kept in the element (data-i18n holds it
  // once translated, data-i18n-<attribute> an attribute's), so that the page
  // can be put in another language when the user's languages change.
  function translatePage() {
    var chosen = chooseLanguage();
    language = chosen ? { lang: chosen.lang, dir: chosen.dir } : { lang: "en", dir: "ltr" };
    words = window.vornGettext(chosen);
    document.documentElement.lang = language.lang;
    document.documentElement.dir = language.dir;
    Array.prototype.forEach.call(document.querySelectorAll("[data-i18n]"), function (node) {
      var source = node.getAttribute("data-i18n");
      if (!source) {
        source = node.innerHTML.replace(/\s+/g, " ").trim();
        node.setAttribute("data-i18n", source);
      }
      var context = node.getAttribute("data-i18n-context");
      var text = context ? pgettext(context, source) : _(source);
      // Only the catalogues' own markup (<strong>) is ever parsed.
      if (text.indexOf("<") !== -1) node.innerHTML = text;
      else node.textContent = text;
      keepEllipses(node);
    });
    TRANSLATED_ATTRIBUTES.forEach(function (name) {
      Array.prototype.forEach.call(document.querySelectorAll("[" + name + "]"), function (node) {
        var kept = "data-i18n-" + name;
        if (!node.hasAttribute(kept)) node.setAttribute(kept, node.getAttribute(name));
        node.setAttribute(name, _(node.getAttribute(kept)));
      });
    });
  }

  // A line may break after the space before an ellipsis ("installiert …"), and
  // then the ellipsis would start the next line: each such space and its
  // ellipsis are kept together. Without a space, the line breaking rules never
  // part an ellipsis from what it follows.
  function keepEllipses(node) {
    var walker = document.createTreeWalker(node, NodeFilter.SHOW_TEXT);
    var found = [];
    for (var text = walker.nextNode(); text; text = walker.nextNode()) {
      if (/\s\u2026/.test(text.data) && !text.parentNode.classList.contains("nobr")) found.push(text);
    }
    found.forEach(function (text) {
      var parts = text.data.split(/(\s+\u2026+)/);
      var pieces = document.createDocumentFragment();
      parts.forEach(function (part, i) {
        if (part === "") return;
        if (i % 2 === 0) {
          pieces.appendChild(document.createTextNode(part));
          return;
        }
        var kept = document.createElement("span");
        kept.className = "nobr";
        kept.textContent = part;
        pieces.appendChild(kept);
      });
      text.parentNode.replaceChild(pieces, text);
    });
  }

  // A path or an address, put in as text that breaks only after a slash: each
  // name with the slashes after it in one piece, a <wbr> between the pieces.
  function putValue(node, value) {
    node.textContent = "";
    (value.match(/[^/]*\/+|[^/]+$/g) || []).forEach(function (piece, i) {
      if (i > 0) node.appendChild(document.createElement("wbr"));
      var name = document.createElement("span");
      name.className = "name";
      name.textContent = piece;
      node.appendChild(name);
    });
  }

  // A name longer than its whole box is the one thing that breaks inside:
  // measured in the box as it stands, at the text size it has.
  function fitValues() {
    [el.address, el.folder].forEach(function (node) {
      var box = node.closest(".value");
      var style = getComputedStyle(box);
      var room = box.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
      Array.prototype.forEach.call(node.querySelectorAll(".name"), function (name) {
        name.classList.remove("long");
        if (room > 0 && name.getBoundingClientRect().width > room + 0.5) name.classList.add("long");
      });
    });
  }

  // The buttons whose label changes take the width of the widest label they
  // can have, measured as drawn in the page's language at the desktop's text
  // size: the two copy buttons one width between them, Install its own.
  var sizers = {};

  function sizer(name, className, count) {
    var box = document.createElement("div");
    box.className = "sizer";
    box.setAttribute("aria-hidden", "true");
    for (var i = 0; i < count; i++) {
      var label = document.createElement("span");
      label.className = className;
      box.appendChild(label);
    }
    document.body.appendChild(box);
    sizers[name] = box;
  }

  // Scrolls the page just so far that `node` is wholly in view, with a little
  // room for its focus ring.
  function reveal(node) {
    if (!node || node === document.body || !node.getBoundingClientRect) return;
    var box = node.getBoundingClientRect();
    var room = 8;
    var by = box.bottom + room > window.innerHeight ? box.bottom + room - window.innerHeight : 0;
    if (box.top - by < room) by = box.top - room;
    if (by !== 0) window.scrollBy(0, by);
  }

  function fitButtons() {
    var labels = {
      copy: [el.copyExtensions.dataset.label, el.copyFolder.dataset.label, copiedLabel("copyExtensions"),
        copiedLabel("copyFolder")],
      install: [pgettext("button", "Install"), _("Installing…")]
    };
    Object.keys(sizers).forEach(function (name) {
      Array.prototype.forEach.call(sizers[name].children, function (label, i) {
        if (label.textContent !== labels[name][i]) {
          label.textContent = labels[name][i];
          keepEllipses(label);
        }
      });
      var width = Math.ceil(sizers[name].getBoundingClientRect().width);
      document.documentElement.style.setProperty("--" + name + "-width", width + "px");
    });
    fitValues();
    // The text's size or language changed, and with it where things are: the
    // focused control stays in view.
    reveal(document.activeElement);
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
        putValue(el.folder, field(event, "folder"));
        show("installed");
        break;
      case "error":
        failure = { message: field(event, "message") };
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

  var announceTimer = 0;

  function announce(text) {
    // Emptied first so that the same words said twice are still read out.
    el.status.textContent = "";
    window.clearTimeout(announceTimer);
    announceTimer = window.setTimeout(function () {
      el.status.textContent = text;
    }, 50);
  }

  // The page's own sentence for a failure the program described, or "".
  function failureSentence(message) {
    if (message.indexOf(FAILURE_LEAD) !== 0) return "";
    var description = message.slice(FAILURE_LEAD.length);
    for (var i = 0; i < FAILURES.length; i++) {
      var prefix = FAILURES[i][0];
      if (description.indexOf(prefix) === 0) return FAILURES[i][1](description.slice(prefix.length));
    }
    return "";
  }

  // The error view's texts: the page's sentence, when it knows the failure, and
  // the program's own words, in English, left to right in any page; or the
  // page's own words when there was no program to ask.
  function renderFailure() {
    var own = failure && failure.page;
    var message = !failure ? "" : own ? _(
      "This page can only install from within Vorn Preview Setup. Open the setup program and try again."
    ) : failure.message;
    var sentence = own ? "" : failureSentence(message);
    el.errorSentence.textContent = sentence;
    el.errorSentence.hidden = sentence === "";
    // An English page says its sentence above the English words without a label.
    el.errorWords.hidden = sentence === "" || language.lang === "en";
    el.errorMessage.lang = own ? language.lang : "en";
    el.errorMessage.dir = own ? language.dir : "ltr";
    el.errorMessage.textContent = message;
    return sentence ? sentence + " " + message : message;
  }

  // Every text that depends on the state, in the page's language: on a change of
  // state, and again when the language changes.
  function render() {
    var installing = state === "installing";
    el.install.textContent = installing ? _("Installing…") : pgettext("button", "Install");
    keepEllipses(el.install);
    el.checkNote.textContent = checking === "checking" ? _("Checking…") : checking === "missing" ? _(
      "Not connected yet. Load the extension folder in Chrome, then check again."
    ) : _("Once the extension is loaded, setup notices it within a second or two.");
    keepEllipses(el.checkNote);
    el.stillWaiting.hidden = !waitedLong;
    el.stillWaiting.textContent = waitedLong ? stillWaitingText() : "";
    ["copyExtensions", "copyFolder"].forEach(function (key) {
      if (el[key].classList.contains("is-copied")) el[key].textContent = copiedLabel(key);
      else el[key].textContent = el[key].dataset.label;
    });
    fitButtons();
    return renderFailure();
  }

  // Each button's own word, so that a language can agree it with what was copied.
  function copiedLabel(key) {
    return key === "copyExtensions"
      // TRANSLATORS: Replaces "Copy address" on its button for two seconds once
      // the address is copied: the address was copied. The button is about 148
      // pixels wide: keep it short.
      ? pgettext("address", "Copied")
      // TRANSLATORS: Replaces "Copy folder" on its button for two seconds once
      // the folder's path is copied: the path was copied, not the folder. The
      // button is about 148 pixels wide: keep it short.
      : pgettext("folder", "Copied");
  }

  function stillWaitingText() {
    // TRANSLATORS: Shown when the page has waited for the browser extension for
    // about 45 seconds. "Load unpacked" and "Open" are the browser's own labels
    // (the button on its extensions page, the button of its folder window);
    // "Extensions" is the name of the puzzle-piece menu in its toolbar: use the
    // browser's own words in your language (po/browser-labels.json lists them).
    return _("Still waiting? If the folder window was closed with Enter, nothing was loaded: click Load unpacked again, paste the folder and click Open. If the extension is already listed, click Vorn Preview in the Extensions menu (the puzzle piece in the toolbar).");
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
    el.progress.hidden = !installing;

    window.clearTimeout(checkTimer);
    window.clearTimeout(waitTimer);
    checking = "";
    waitedLong = false;
    if (next !== "error") failure = null;
    var heard = render();

    switch (next) {
      case "installing":
        announce(_("Installing Vorn Preview."));
        el.progressBar.focus();
        break;
      case "installed":
        announce(_("Vorn Preview is installed. Load the browser extension in Chrome; setup is waiting for it."));
        el.installedTitle.focus();
        waitTimer = window.setTimeout(function () {
          if (state !== "installed") return;
          waitedLong = true;
          render();
          announce(el.stillWaiting.textContent);
        }, STILL_WAITING_MS);
        break;
      case "confirmed":
        announce(_("Setup is complete."));
        el.done.focus();
        break;
      case "error":
        // The page's sentence first; the program's message begins by saying that
        // installing failed.
        announce(heard);
        el.retry.focus();
        break;
    }
  }

  function install() {
    if (state !== "start" && state !== "error") return;
    if (!send("install")) {
      failure = { page: true };
      show("error");
      return;
    }
    show("installing");
  }

  function copied(target) {
    var key = target === "extensions" ? "copyExtensions" : target === "folder" ? "copyFolder" : "";
    if (!key) return;
    relabel(key, copiedLabel(key)).classList.add("is-copied");
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
    checking = "checking";
    render();
    checkTimer = window.setTimeout(function () {
      if (state !== "installed") return;
      checking = "missing";
      render();
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
      address: byId("address"),
      folder: byId("folder"),
      copyExtensions: byId("copy-extensions"),
      copyFolder: byId("copy-folder"),
      check: byId("check"),
      checkNote: byId("check-note"),
      stillWaiting: byId("still-waiting"),
      done: byId("done"),
      retry: byId("retry"),
      errorSentence: byId("error-sentence"),
      errorWords: byId("error-words"),
      errorMessage: byId("error-message"),
      status: byId("status")
    };

    putValue(el.address, el.address.textContent);
    sizer("copy", "secondary copy", 4);
    sizer("install", "primary", 2);
    // The desktop's text size may change while the page is open: the labels
    // and the boxes are measured again as their size changes.
    if (window.ResizeObserver) {
      var again = new ResizeObserver(function () {
        fitButtons();
      });
      again.observe(sizers.copy);
      again.observe(sizers.install);
    }
    fitButtons();

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
    // With larger text the page scrolls: whatever takes the focus is brought
    // into view, which the engine does not do at every zoom. Once the focus
    // has moved: measuring the page while it moves loses the screen reader its
    // news of the move.
    document.addEventListener("focusin", function (event) {
      window.setTimeout(function () {
        if (document.activeElement === event.target) reveal(event.target);
      }, 0);
    });
    // The user's languages changed: the page follows, in the state it is in.
    // What was last said stays unsaid in another language.
    window.addEventListener("languagechange", function () {
      translatePage();
      render();
      window.clearTimeout(announceTimer);
      el.status.textContent = "";
    });

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
