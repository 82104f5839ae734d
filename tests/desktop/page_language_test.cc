// The real page in each language it has a catalogue for. Chosen from the
// environment as gettext chooses, on a machine where no locale but C.UTF-8 is
// generated, it starts in that language. And in every state, every language
// (one program run walks the states, and the page follows the user's languages
// as they change, through the page's own languagechange handling): it is in
// that language with its lang and dir, drawn in its script's face, it mirrors
// right to left but keeps the left-to-right values so, it names each failure it
// knows in its own words above the program's, it fits the fixed window,
// measured box by box, and the buttons whose labels change keep their width.
// At larger text (the desktop's text scaling, which WebKit turns into the
// page's text zoom) in a few languages of different scripts, every text stays
// whole inside its box, the page scrolls instead, and every control is reached
// by Tab and scrolled into view.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/desktop/real_page_fixture.h"

namespace vorn {
namespace {

using namespace desktop_testing;
using nlohmann::json;

constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
constexpr int kWindowWidth = 680;
constexpr int kWindowHeight = 760;

// Defines window.vornLook(): what the page shows as it stands: its lang and
// dir, the bottom of its lowest box, every box that lies outside the window,
// is clipped or overflows (the error message and the folder path scroll in
// boxes of their own), every text that runs out of its box, an ellipsis that
// starts a line, the widths of the buttons whose labels change and where the
// two value boxes end; at larger text (`large`) a page that scrolls down is
// right, one that scrolls across is not. Latin words shown or heard that neither the catalogue's
// own texts nor the kept names hold, where the step numbers and the mark sit
// against their texts, how the left-to-right values run, and whether the
// script's letters are drawn in `face` (measured against the same letters in
// that face alone: equal widths, and the face really there).
constexpr const char* kLook = R"JS(
window.vornLook = function (face, large) {
  var W = window.innerWidth, H = window.innerHeight, html = document.documentElement;
  var out = { lang: html.lang, dir: html.dir, width: W, height: H, bottom: 0, problems: [], english: [],
              numbersStart: true, markStart: true, ltr: [] };
  var top = -html.getBoundingClientRect().top;  // how far the page is scrolled
  function name(node) {
    return node.tagName.toLowerCase() + (node.id ? "#" + node.id : "") +
           (node.className && typeof node.className === "string" ? "." + node.className.split(" ").join(".") : "");
  }
  var ownScroll = "#error-message, .path";
  Array.prototype.forEach.call(document.querySelectorAll("body *"), function (node) {
    // The progress bar's runner is meant to pass out of its clipping track.
    if (node.closest(".sr-only, .bar") || node.getClientRects().length === 0) return;
    var box = node.getBoundingClientRect();
    if (box.width === 0 && box.height === 0) return;
    if (box.left < -0.5 || box.right > W + 0.5 ||
        (!large && (box.top < -0.5 || box.bottom > H + 0.5)) || box.top + top < -0.5)
      out.problems.push(name(node) + " outside the window: " + JSON.stringify(box));
    // The shell and main stretch to the window; what they hold is what must fit.
    if (!node.matches(".shell, main")) out.bottom = Math.max(out.bottom, box.bottom + top);
    var style = getComputedStyle(node);
    if (style.display.indexOf("inline") === 0 && style.display !== "inline-flex" && style.display !== "inline-block")
      return;
    if (node.clientWidth > 0 && node.scrollWidth > node.clientWidth + 1)
      out.problems.push(name(node) + " overflows across: " + node.scrollWidth + " > " + node.clientWidth);
    if (node.clientHeight > 0 && node.scrollHeight > node.clientHeight + 1 && !node.matches(ownScroll))
      out.problems.push(name(node) + " overflows down: " + node.scrollHeight + " > " + node.clientHeight);
  });
  if ((!large && (html.scrollHeight > H || top !== 0)) || html.scrollWidth > W + 1)
    out.problems.push("the page scrolls: " + html.scrollWidth + "x" + html.scrollHeight);

  // Every text shown lies across inside the box that holds it, line by line
  // (a line's glyphs may stand above or below its box: a line height smaller
  // than the face's, which cuts nothing); no ellipsis begins a line.
  function holder(node) {
    for (var at = node.parentElement; at; at = at.parentElement) {
      if (getComputedStyle(at).display.indexOf("inline") !== 0 || at.matches("button, .value, kbd")) return at;
    }
    return document.body;
  }
  var texts = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  var line = [];  // the characters of one holder, in order, for the ellipses
  var lineHolder = null;
  function ellipses() {
    line.forEach(function (c, i) {
      if (c.ch !== "\u2026" || i === 0) return;
      var j = i - 1;
      while (j > 0 && /\s/.test(line[j].ch)) j--;
      if (line[j].ch === "\u2026" || /\s/.test(line[j].ch)) return;
      if (c.box.top >= line[j].box.bottom - 1)
        out.problems.push(name(lineHolder) + ": an ellipsis starts a line");
    });
    line = [];
  }
  for (var t = texts.nextNode(); t; t = texts.nextNode()) {
    var parent = t.parentElement;
    if (!t.data.trim() || parent.closest(".sr-only, .sizer") || parent.getClientRects().length === 0) continue;
    var at = holder(t);
    var room = at.getBoundingClientRect();
    var range = document.createRange();
    range.selectNodeContents(t);
    Array.prototype.forEach.call(range.getClientRects(), function (r) {
      if (r.width === 0) return;
      if (r.left < room.left - 1 || r.right > room.right + 1)
        out.problems.push(name(at) + " cuts its text \"" + t.data.trim().slice(0, 24) + "\": " +
                          JSON.stringify([r.left, r.top, r.right, r.bottom]) + " in " +
                          JSON.stringify([room.left, room.top, room.right, room.bottom]));
    });
    if (at !== lineHolder) {
      ellipses();
      lineHolder = at;
    }
    // Each ellipsis and whatever may stand before one: a space, or the last
    // letter before a space, an ellipsis or the end of this text.
    for (var k = 0; k < t.data.length; k++) {
      var next = t.data[k + 1];
      if (!(t.data[k] === "\u2026" || /\s/.test(t.data[k]) || next === undefined || next === "\u2026" ||
            /\s/.test(next)))
        continue;
      range.setStart(t, k);
      range.setEnd(t, k + 1);
      var r = range.getClientRects()[0];
      if (r) line.push({ ch: t.data[k], box: r });
    }
  }
  ellipses();

  // The buttons whose labels change, and where the boxes beside the copy buttons end.
  function widthOf(id) {
    var node = document.getElementById(id);
    return node && node.getClientRects().length ? node.getBoundingClientRect().width : null;
  }
  out.widths = { install: widthOf("install"), copyAddress: widthOf("copy-extensions"),
                 copyFolder: widthOf("copy-folder") };
  var ends = Array.prototype.filter.call(document.querySelectorAll(".copy-row .value"), function (v) {
    return v.getClientRects().length > 0;
  }).map(function (v) {
    var r = v.getBoundingClientRect();
    return getComputedStyle(document.body).direction === "rtl" ? r.left : r.right;
  });
  out.boxesEnd = ends.length < 2 || Math.abs(ends[0] - ends[1]) < 0.5;

  // Words in Latin letters must be the catalogue's own or a kept name.
  var message = document.getElementById("error-message");
  var chosen = (window.vornCatalogues || {})[html.lang.toLowerCase()];
  if (chosen) {
    var allowed = { vorn: 1, preview: 1, setup: 1, chrome: 1, applications: 1 };
    Object.keys(chosen.texts).forEach(function (id) {
      [].concat(chosen.texts[id]).forEach(function (text) {
        (text.replace(/<[^>]*>/g, " ").match(/[A-Za-z\u00C0-\u024F\u1E00-\u1EFF]+/g) || []).forEach(function (w) {
          allowed[w.toLowerCase()] = 1;
        });
      });
    });
    var shown = [];
    var walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    for (var text = walker.nextNode(); text; text = walker.nextNode()) {
      var parent = text.parentElement;
      // The program's own words and the values, marked as what they are.
      if (parent.closest("#error-message, #folder, #address, [lang='en']")) continue;
      if (!parent.closest(".sr-only") && parent.getClientRects().length === 0) continue;
      var data = text.data;
      // What is heard of an error: the page's sentence, then the program's message as it stands.
      if (parent.id === "status" && message.lang === "en" && message.textContent &&
          data.slice(-message.textContent.length) === message.textContent)
        data = data.slice(0, -message.textContent.length);
      shown.push(data);
    }
    Array.prototype.forEach.call(document.querySelectorAll("[aria-label], [aria-valuetext], [title], [alt]"),
      function (node) {
        if (node.getClientRects().length === 0) return;
        ["aria-label", "aria-valuetext", "title", "alt"].forEach(function (a) {
          if (node.hasAttribute(a)) shown.push(node.getAttribute(a));
        });
      });
    shown.forEach(function (t) {
      (t.match(/[A-Za-z\u00C0-\u024F\u1E00-\u1EFF]{2,}/g) || []).forEach(function (w) {
        if (!allowed[w.toLowerCase()] && out.english.indexOf(w) === -1) out.english.push(w);
      });
    });
  }

  // The reading side: numbers and the mark before their texts, whichever way that is.
  var rtl = getComputedStyle(document.body).direction === "rtl";
  function before(a, b) {
    var x = a.getBoundingClientRect(), y = b.getBoundingClientRect();
    return rtl ? x.left >= y.right - 0.5 : x.right <= y.left + 0.5;
  }
  Array.prototype.forEach.call(document.querySelectorAll(".num"), function (num) {
    if (num.getClientRects().length > 0 && !before(num, num.nextElementSibling)) out.numbersStart = false;
  });
  out.markStart = before(document.querySelector(".mark"), document.querySelector("h1"));
  // Left to right, and starting at the left, whatever the page's direction.
  ["#address", "#folder", "#error-message"].forEach(function (s) {
    var node = document.querySelector(s), box = node.closest(".value, .message");
    out.ltr.push(s + ":" + getComputedStyle(node).direction + ":" + getComputedStyle(box).textAlign);
  });

  // The face: the visible heading and lead, less their Latin letters unless
  // that is all they have, measured in the page's own faces and in `face`.
  var view = Array.prototype.filter.call(document.querySelectorAll(".view"), function (v) { return !v.hidden; })[0];
  var sample = (view.querySelector("h2").textContent + view.querySelector(".lead").textContent).replace(/\s+/g, "");
  var script = sample.replace(/[\u0000-\u024F\u1E00-\u1EFF\u2000-\u206F]/g, "");
  if (script.length > 0) sample = script;
  var style = getComputedStyle(view.querySelector(".lead"));
  var context = document.createElement("canvas").getContext("2d");
  function width(family) {
    context.font = style.fontWeight + " " + style.fontSize + " " + family;
    return context.measureText(sample).width;
  }
  var alone = width('"' + face + '", serif');
  out.face = { installed: Math.abs(alone - width('"' + face + '", monospace')) < 0.01,
               used: Math.abs(alone - width(style.fontFamily)) < 0.01 };
  return JSON.stringify(out);
};

// How much larger than its style says the page is drawn: the desktop's text
// size, which WebKitGTK makes the page's zoom (the window stays as large, so
// the page has fewer of its pixels across).
window.vornTextScale = function () {
  return Math.round(680 / window.innerWidth * 100) / 100;
};

// Tab as the keyboard gives it to the page (the page's own handling), and
// what it reaches: the one focused, and whether it is wholly in view.
// The controls there are to reach, the last of them focused to start from.
window.vornControls = function () {
  var all = Array.prototype.filter.call(document.querySelectorAll("button, [tabindex='0']"), function (node) {
    return !node.disabled && node.getClientRects().length > 0 && !node.closest(".sizer");
  });
  if (all.length > 0) all[all.length - 1].focus();
  return JSON.stringify(all.map(function (node) { return node.id || node.getAttribute("aria-label"); }));
};
window.vornTab = function () {
  (document.activeElement || document.body).dispatchEvent(
    new KeyboardEvent("keydown", { key: "Tab", keyCode: 9, bubbles: true, cancelable: true }));
  var now = document.activeElement;
  return now.id || now.getAttribute("aria-label") || "";
};
window.vornFocusInView = function () {
  var r = document.activeElement.getBoundingClientRect();
  return r.top >= -0.5 && r.bottom <= window.innerHeight + 0.5 && r.left >= -0.5 && r.right <= window.innerWidth + 0.5;
};
true
)JS";

// The languages that read right to left, and the face each script is drawn in
// on a machine with the packages the .deb recommends (scripts/install-deps).
bool rightToLeft(const std::string& lang) { return lang == "ar" || lang == "he" || lang == "fa"; }

std::string faceOf(const std::string& lang) {
  static const std::map<std::string, std::string> faces = {
      {"ja", "IPAPGothic"},
      {"zh-CN", "WenQuanYi Micro Hei"},
      {"zh-TW", "WenQuanYi Micro Hei"},
      {"ko", "WenQuanYi Micro Hei"},
      {"ar", "Noto Sans Arabic UI"},
      {"fa", "Noto Sans Arabic UI"},
      {"hi", "Noto Sans Devanagari UI"},
      {"th", "Noto Sans Thai UI"},
      {"bn", "Noto Sans Bengali UI"},
      {"ta", "Noto Sans Tamil UI"},
  };
  const auto found = faces.find(lang);
  // Latin, Cyrillic, Greek and Hebrew.
  return found == faces.end() ? "DejaVu Sans" : found->second;
}

// Failures as the program words them, after its lead, and whether the page has
// a sentence of its own for them.
struct Failure {
  const char* kind;
  std::string description;
  bool known;
};

std::string longPath() {
  std::string path = "/home/someone/Applications";
  for (int i = 0; i < 8; ++i) path += "/a folder with a rather long name " + std::to_string(i);
  return path;
}

const std::vector<Failure>& failures() {
  static const std::vector<Failure> all = {
      {"timeout", "The updater did not finish within 120 seconds, so it was stopped.", true},
      {"timeout of one second", "The updater did not finish within 1 seconds, so it was stopped.", true},
      {"folder", "Could not create the folder \"" + longPath() + "\": Permission denied", true},
      {"copy",
       "Could not copy \"/opt/x/Vorn Preview.app\" to \"" + longPath() + "\": No space left on device", true},
      {"replace", "Could not replace \"" + longPath() + "/Vorn Preview.app\": Directory not empty", true},
      {"move", "Could not move \"" + longPath() + "/.Vorn Preview.app.new\": Read-only file system", true},
      {"run",
       "Could not run \"" + longPath() + "/Vorn Preview.app/Contents/MacOS/vorn-updater\": Exec format error",
       true},
      {"result", "The updater's result could not be read: [json.exception.parse_error.101] unexpected end",
       true},
      {"unknown", "Something nobody foresaw happened.", false},
  };
  return all;
}

// The languages po/LINGUAS lists, as the bundle carries it beside the page, in
// BCP 47 ("pt-BR").
std::vector<std::string> listedLanguages() {
  std::vector<std::string> tags;
  std::ifstream listed(bundlePath() / "Contents/Resources/ui/LINGUAS");
  for (std::string line; std::getline(listed, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    for (std::string tag; words >> tag;) {
      std::replace(tag.begin(), tag.end(), '_', '-');
      tags.push_back(tag);
    }
  }
  return tags;
}

// The text sizes the desktop offers (GNOME's text scaling), and the languages
// of different scripts and directions that are walked at each.
constexpr double kTextScales[] = {1.25, 1.5, 2.0};
const std::vector<std::string>& largeTextLanguages() {
  static const std::vector<std::string> all = {"en", "de", "ru", "hi", "ar"};
  return all;
}

// The desktop's text scaling as GTK hears it: GNOME's text-scaling-factor
// comes to the toolkit as its font resolution (the XSETTINGS Xft/DPI, 96 dpi
// at 100 %, in 1024ths), which GDK_DPI_SCALE multiplies. WebKitGTK makes the
// page's zoom of it, as it makes the view and whenever it changes.
void setDesktopTextScale(double factor) {
  gtk_init_check(nullptr, nullptr);  // once the program has done so, nothing
  g_object_set(gtk_settings_get_default(), "gtk-xft-dpi", static_cast<int>(std::lround(96.0 * 1024 * factor)),
               nullptr);
}

class PageLanguageTest : public RealPageTest {
 protected:
  void SetUp() override {
    setDesktopTextScale(1.0);
    RealPageTest::SetUp();
  }
  void TearDown() override {
    RealPageTest::TearDown();
    setDesktopTextScale(1.0);
  }

  // The desktop's text size as the program starts.
  void startAt(double factor) {
    setDesktopTextScale(factor);
    scale_ = factor;
  }

  // Every language of po/LINGUAS, each with its catalogue in the page, then English.
  std::vector<std::string> languages() {
    const json tags =
        json::parse(json::parse(value("JSON.stringify(Object.keys(window.vornCatalogues).map(function (k) { "
                                      "return window.vornCatalogues[k].lang; }))"))
                        .get<std::string>());
    const auto inPage = tags.get<std::vector<std::string>>();
    std::vector<std::string> all = listedLanguages();
    EXPECT_EQ(std::set<std::string>(inPage.begin(), inPage.end()),
              std::set<std::string>(all.begin(), all.end()))
        << "the page's catalogues are not those po/LINGUAS lists";
    all.emplace_back("en");
    return all;
  }

  // The desktop's text at `factor`, and the page drawing it so.
  void textAt(double factor) {
    setDesktopTextScale(factor);
    scale_ = factor;
    ASSERT_TRUE(waitForScript(view(), "vornTextScale() === " + std::to_string(factor)))
        << "the page's text is not at " << factor << " but " << value("vornTextScale()");
    // The window keeps its size; the page scrolls in it.
    gint width = 0;
    gint height = 0;
    gtk_window_get_size(GTK_WINDOW(windowWidget()), &width, &height);
    EXPECT_EQ(width, kWindowWidth) << percent();
    EXPECT_EQ(height, kWindowHeight) << percent();
    if (onX11()) {
      const X11Window shown = readX11Window(windowWidget());
      EXPECT_EQ(shown.width, kWindowWidth) << percent();
      EXPECT_EQ(shown.height, kWindowHeight) << percent();
    }
  }

  // At each larger text size, in each of its languages: every text whole in its
  // box, the page scrolling instead, every control reached by Tab and in view
  // once reached. Then back at 100 %, at the top of the page. `shots`: where
  // to keep the README's pictures of the state at 150 %, its top and its end,
  // in English and Arabic.
  void lookLarge(const std::string& state, const char* shots = nullptr) {
    for (const double factor : kTextScales) {
      textAt(factor);
      for (const std::string& lang : largeTextLanguages()) {
        speak(lang);
        look(lang, state);
        tabRound(std::string(lang).append(", ").append(state));
        if (shots != nullptr && factor == 1.5 && (lang == "en" || lang == "ar")) {
          run("document.activeElement.blur()");
          for (const std::string end : {"top", "end"}) {
            run(std::string("window.scrollTo(0, ") + (end == "top" ? "0" : "1e6") + ")");
            pumpFor(0.2);
            EXPECT_TRUE(saveSnapshot(
                view(), std::filesystem::path(shots) /
                            std::string("large-").append(lang).append("-").append(end).append(".png")));
          }
        }
      }
    }
    textAt(1.0);
    run("window.scrollTo(0, 0)");
  }

  // Round the page with Tab from its last control: each reached in turn, and
  // brought into view.
  void tabRound(const std::string& where) {
    const auto controls =
        json::parse(json::parse(value("vornControls()")).get<std::string>()).get<std::vector<std::string>>();
    if (controls.empty()) return;
    std::vector<std::string> reached;
    for (std::size_t i = 0; i < controls.size(); ++i) {
      reached.push_back(json::parse(value("vornTab()")).get<std::string>());
      EXPECT_TRUE(waitForScript(view(), "vornFocusInView()", 2.0))
          << where << ", " << percent() << ": " << reached.back() << " focused out of view";
    }
    EXPECT_EQ(reached, controls) << where << ", " << percent()
                                 << ": Tab does not reach every control in order";
  }

  std::string percent() const { return std::to_string(std::lround(scale_ * 100)) + " %"; }

  // The user's languages become `lang` alone, as when they change in the session.
  void speak(const std::string& lang) {
    run("Object.defineProperty(navigator, 'languages', { value: ['" + lang +
        "'], configurable: true }); window.dispatchEvent(new Event('languagechange'))");
  }

  // `face`: whether to hold the page to its script's face; the Latin ones come
  // from the desktop's own (system-ui), which follows the locale's language.
  json look(const std::string& lang, const std::string& state, bool face = true) {
    const bool large = scale_ != 1.0;
    const std::string where = lang + ", " + state + (large ? ", " + percent() : "");
    json seen =
        json::parse(json::parse(value("vornLook('" + faceOf(lang) + "', " + (large ? "true" : "false") + ")"))
                        .get<std::string>());
    EXPECT_EQ(seen["lang"], lang) << where;
    EXPECT_EQ(seen["dir"], rightToLeft(lang) ? "rtl" : "ltr") << where;
    EXPECT_NEAR(seen["width"].get<double>(), kWindowWidth / scale_, 1) << where;
    if (!large) {
      EXPECT_EQ(seen["height"], kWindowHeight) << where;
    }
    for (const json& problem : seen["problems"]) ADD_FAILURE() << where << ": " << problem.get<std::string>();
    if (lang != "en") {
      EXPECT_TRUE(seen["english"].empty())
          << where << ": words not in the catalogue: " << seen["english"].dump();
    }
    EXPECT_TRUE(seen["numbersStart"].get<bool>()) << where << ": a step number is not on the reading side";
    EXPECT_TRUE(seen["markStart"].get<bool>()) << where << ": the mark is not on the reading side";
    EXPECT_EQ(seen["ltr"],
              json::parse(R"(["#address:ltr:left", "#folder:ltr:left", "#error-message:ltr:left"])"))
        << where;
    if (face) {
      EXPECT_TRUE(seen["face"]["installed"].get<bool>())
          << where << ": " << faceOf(lang) << " is not installed";
      EXPECT_TRUE(seen["face"]["used"].get<bool>()) << where << ": not drawn in " << faceOf(lang);
    }
    widths(lang, where, seen);
    if (large) return seen;
    Figures& figures = figures_[lang];
    if (const double bottom = seen["bottom"].get<double>(); bottom > figures.tallest) {
      figures.tallest = bottom;
      figures.state = state;
    }
    return seen;
  }

  // Each language in turn, in the state the page is in.
  void lookInEach(const std::string& state, const std::function<void(const std::string&)>& more = {}) {
    for (const std::string& lang : languages()) {
      speak(lang);
      look(lang, state);
      if (more) more(lang);
    }
  }

  // The error view as it stands: the sentence, the label and the message.
  json errorView() {
    return json::parse(json::parse(value(R"JS(JSON.stringify({
      sentence: document.getElementById("error-sentence").hidden ? null : document.getElementById("error-sentence").textContent,
      label: !document.getElementById("error-words").hidden,
      message: document.getElementById("error-message").textContent,
      lang: document.getElementById("error-message").lang,
      dir: document.getElementById("error-message").dir,
      status: document.getElementById("status").textContent}))JS"))
                           .get<std::string>());
  }

  // Both copy buttons one width, the boxes beside them ending together; each
  // button as wide in every state as it was first seen in this language at
  // this text size.
  void widths(const std::string& lang, const std::string& where, const json& seen) {
    const json& w = seen["widths"];
    EXPECT_TRUE(seen["boxesEnd"].get<bool>()) << where << ": the boxes beside the copy buttons end apart";
    const std::string key = lang + ", " + percent();
    const auto same = [&](const char* button, std::map<std::string, double>& kept) {
      if (w[button].is_null()) return;
      const double now = w[button].get<double>();
      const auto [first, added] = kept.emplace(key, now);
      EXPECT_NEAR(now, first->second, 0.5) << where << ": " << button << " changes width";
    };
    same("install", installWidth_);
    same("copyAddress", copyWidth_);
    same("copyFolder", copyWidth_);
  }

  void printFigures() {
    for (const auto& [lang, figures] : figures_) {
      std::cout << "[ figures  ] " << lang << ": the longest state, " << figures.state << ", ends at "
                << figures.tallest << " of " << kWindowHeight << " px; drawn in " << faceOf(lang) << "\n";
    }
  }

 private:
  struct Figures {
    double tallest = 0;
    std::string state;
  };
  std::map<std::string, Figures> figures_;
  std::map<std::string, double> installWidth_;
  std::map<std::string, double> copyWidth_;  // both buttons, one width
  double scale_ = 1.0;
};

TEST_F(PageLanguageTest, EveryLanguageInEveryStateIsWholeAndFitsTheWindow) {
  // A message as long as a real one can be, to show that only its own box scrolls.
  std::string line = "vorn-updater: the extension folder could not be prepared:";
  for (int i = 0; i < 60; ++i)
    line += " /home/someone/Applications/Vorn Preview Setup.app/Contents/extension";
  useHeldFailingUpdater(line);
  // Larger text from the start: the engine takes the desktop's as it makes the view.
  startAt(kTextScales[0]);
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    ASSERT_EQ(value(kLook), "true");
    ASSERT_TRUE(reaches("start"));
    EXPECT_NEAR(std::stod(value("vornTextScale()")), kTextScales[0], 0.01)
        << "the desktop's text size unheeded";
    lookLarge("start");
    const std::vector<std::string> all = languages();
    ASSERT_GE(all.size(), 6U) << "the page has too few catalogues";
    lookInEach("start");

    press("install");
    ASSERT_TRUE(reaches("installing"));
    lookInEach("installing");
    lookLarge("installing");
    openGate();
    ASSERT_TRUE(reaches("error"));
    lookInEach("error, the updater's own");
    lookLarge("error, the updater's own");

    // Kept for the README's picture of them all and for a look: VORN_LANGUAGE_SHOTS=folder.
    const char* shots = std::getenv("VORN_LANGUAGE_SHOTS");
    // Every failure the page knows, as the program would tell it: the page's
    // sentence, then the program's words exactly, in English, left to right.
    std::map<std::string, std::string> sentences;  // per language, to see that each kind has its own
    for (const Failure& failure : failures()) {
      const std::string message = "Installation could not finish. " + failure.description;
      run("window.vornSetup.receive(" + json({{"type", "error"}, {"message", message}}).dump() + ")");
      pumpFor(0.1);  // the announcement is made a moment later
      // Heard in the page's language: the sentence first.
      const json heard = errorView();
      EXPECT_EQ(heard["status"],
                failure.known ? heard["sentence"].get<std::string>() + " " + message : message)
          << failure.kind;
      lookInEach(std::string("error, ") + failure.kind, [&](const std::string& lang) {
        const std::string where = lang + ", " + failure.kind;
        if (shots != nullptr && std::string(failure.kind) == "folder") {
          pumpFor(0.2);
          EXPECT_TRUE(saveSnapshot(view(), std::filesystem::path(shots) / ("error-" + lang + ".png")));
        }
        const json seen = errorView();
        EXPECT_EQ(seen["message"], message) << where;
        EXPECT_EQ(seen["lang"], "en") << where;
        EXPECT_EQ(seen["dir"], "ltr") << where;
        if (!failure.known) {
          EXPECT_TRUE(seen["sentence"].is_null()) << where;
          EXPECT_FALSE(seen["label"].get<bool>()) << where;
          return;
        }
        ASSERT_TRUE(seen["sentence"].is_string()) << where << ": no sentence of the page's own";
        const std::string sentence = seen["sentence"];
        EXPECT_FALSE(sentence.empty()) << where;
        EXPECT_EQ(seen["label"].get<bool>(), lang != "en") << where;
        if (std::string(failure.kind).rfind("timeout", 0) == 0) {
          EXPECT_EQ(sentence.find("%d"), std::string::npos) << where << ": " << sentence;
        }
        // The number parsed from the program's words, in the plural form it takes.
        if (lang == "en" && std::string(failure.kind) == "timeout") {
          EXPECT_EQ(sentence, "The updater did not finish within 120 seconds, so it was stopped.");
        }
        if (lang == "en" && std::string(failure.kind) == "timeout of one second") {
          EXPECT_EQ(sentence, "The updater did not finish within 1 second, so it was stopped.");
        }
        sentences[lang + "/" + failure.kind] = sentence;
      });
    }
    for (const std::string& lang : all) {
      std::vector<std::string> seen;
      for (const Failure& failure : failures()) {
        if (failure.known && std::string(failure.kind) != "move" &&
            std::string(failure.kind) != "timeout of one second")
          seen.push_back(sentences[lang + "/" + failure.kind]);
      }
      std::sort(seen.begin(), seen.end());
      EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end())
          << lang << ": two failures say the same";
    }

    // The wait's long bound comes when the test says, the copies' labels stay.
    run("var later = window.setTimeout; window.setTimeout = function (f, ms) { if (ms === 45000) { "
        "window.stillWaiting = f; return 0; } return ms === 2000 ? 0 : later(f, ms); }");
    useHeldSampleUpdater();
    openGate();
    press("retry");
    ASSERT_TRUE(reaches("installed"));
    pumpFor(0.3);  // the badge and the pulse settle
    lookInEach("installed", [&](const std::string& lang) {
      EXPECT_EQ(value("document.getElementById('still-waiting').hidden"), "true") << lang;
      if (shots != nullptr) {
        pumpFor(0.2);
        EXPECT_TRUE(saveSnapshot(view(), std::filesystem::path(shots) / ("installed-" + lang + ".png")));
      }
    });
    lookLarge("installed", shots);

    // Waited long: told once, politely, what to do.
    ASSERT_EQ(value("typeof window.stillWaiting"), "\"function\"");
    run("window.stillWaiting()");
    pumpFor(0.1);
    EXPECT_EQ(value("document.getElementById('status').textContent === "
                    "document.getElementById('still-waiting').textContent"),
              "true");
    EXPECT_EQ(value("document.getElementById('status').getAttribute('aria-live')"), "\"polite\"");
    lookInEach("installed, waited long", [&](const std::string& lang) {
      EXPECT_EQ(value("document.getElementById('still-waiting').hidden"), "false") << lang;
    });

    // Checking too early and both copies while the hint shows: the longest
    // labels and notes at once.
    press("check");
    pumpFor(1.8);
    press("copy-extensions");
    press("copy-folder");
    ASSERT_TRUE(waitForScript(view(), "document.querySelectorAll('.is-copied').length === 2"));
    lookInEach("copied, waited long", [&](const std::string& lang) {
      if (shots != nullptr) {
        pumpFor(0.2);
        EXPECT_TRUE(saveSnapshot(view(), std::filesystem::path(shots) / ("longest-" + lang + ".png")));
      }
    });
    lookLarge("copied, waited long");

    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    lookInEach("confirmed");
    lookLarge("confirmed");
    pressDone();
  });
  EXPECT_EQ(status, 0);
  printFigures();
}

// The language the page starts in, chosen from the environment as gettext chooses.
struct Choice {
  const char* name;  // for the test's name
  std::vector<std::pair<std::string, std::string>> environment;
  const char* lang;  // what the page must say it is in
};

void PrintTo(const Choice& choice, std::ostream* out) { *out << choice.name; }

class PageLanguageChoiceTest : public PageLanguageTest, public ::testing::WithParamInterface<Choice> {
 protected:
  void SetUp() override {
    PageLanguageTest::SetUp();
    language_.emplace(GetParam().environment);
  }
  void TearDown() override {
    language_.reset();
    PageLanguageTest::TearDown();
  }

 private:
  std::optional<ScopedLanguage> language_;
};

TEST_P(PageLanguageChoiceTest, StartsInTheLanguageGettextChooses) {
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    ASSERT_EQ(value(kLook), "true");
    ASSERT_TRUE(reaches("start"));
    look(GetParam().lang, "start", false);
    endRoad();
  });
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, PageLanguageChoiceTest,
    ::testing::Values(
        // LANGUAGE first, a region falling back to its language.
        Choice{"German", {{"LANGUAGE", "de_AT"}, {"LANG", "fr_FR.UTF-8"}}, "de"},
        // The first of the list that has a catalogue, not merely the first.
        Choice{"GermanAfterOneWithout", {{"LANGUAGE", "xx_YY:de_CH:fr"}}, "de"},
        Choice{"French", {{"LC_ALL", "fr_FR.UTF-8"}, {"LANG", "de_DE.UTF-8"}}, "fr"},
        Choice{"Spanish", {{"LC_MESSAGES", "es_MX.UTF-8"}, {"LANG", "ja_JP.UTF-8"}}, "es"},
        Choice{"Japanese", {{"LANG", "ja_JP.UTF-8"}}, "ja"},
        Choice{"Arabic", {{"LANG", "ar_EG.UTF-8"}}, "ar"}, Choice{"Hebrew", {{"LANG", "he_IL.UTF-8"}}, "he"},
        // A region of its own: Traditional Chinese, not Simplified.
        Choice{"TraditionalChinese", {{"LANG", "zh_TW.UTF-8"}}, "zh-TW"},
        Choice{"BrazilianPortuguese", {{"LANGUAGE", "pt_BR:pt"}}, "pt-BR"},
        // No Nynorsk: the list goes on to Bokmål, as gettext's does.
        Choice{"NorwegianBokmalAfterNynorsk", {{"LANGUAGE", "nn:nb"}, {"LANG", "nn_NO.UTF-8"}}, "nb"},
        // No catalogue for the language asked for: English.
        Choice{"English", {{"LANG", "xx_YY.UTF-8"}}, "en"}),
    [](const ::testing::TestParamInfo<Choice>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn
