// The real page in each language it has a catalogue for. Chosen from the
// environment as gettext chooses, on a machine where no locale but C.UTF-8 is
// generated, it starts in that language. And in every state, every language
// (one program run walks the states, and the page follows the user's languages
// as they change, through the page's own languagechange handling): it is in
// that language with its lang and dir, drawn in its script's face, it mirrors
// right to left but keeps the left-to-right values so, it names each failure it
// knows in its own words above the program's, and it fits the fixed window,
// measured box by box.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
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
// boxes of their own), Latin words shown or heard that neither the catalogue's
// own texts nor the kept names hold, where the step numbers and the mark sit
// against their texts, how the left-to-right values run, and whether the
// script's letters are drawn in `face` (measured against the same letters in
// that face alone: equal widths, and the face really there).
constexpr const char* kLook = R"JS(
window.vornLook = function (face) {
  var W = window.innerWidth, H = window.innerHeight, html = document.documentElement;
  var out = { lang: html.lang, dir: html.dir, width: W, height: H, bottom: 0, problems: [], english: [],
              numbersStart: true, markStart: true, ltr: [] };
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
    if (box.left < -0.5 || box.top < -0.5 || box.right > W + 0.5 || box.bottom > H + 0.5)
      out.problems.push(name(node) + " outside the window: " + JSON.stringify(box));
    // The shell and main stretch to the window; what they hold is what must fit.
    if (!node.matches(".shell, main")) out.bottom = Math.max(out.bottom, box.bottom);
    var style = getComputedStyle(node);
    if (style.display.indexOf("inline") === 0 && style.display !== "inline-flex" && style.display !== "inline-block")
      return;
    if (node.clientWidth > 0 && node.scrollWidth > node.clientWidth + 1)
      out.problems.push(name(node) + " overflows across: " + node.scrollWidth + " > " + node.clientWidth);
    if (node.clientHeight > 0 && node.scrollHeight > node.clientHeight + 1 && !node.matches(ownScroll))
      out.problems.push(name(node) + " overflows down: " + node.scrollHeight + " > " + node.clientHeight);
  });
  if (html.scrollHeight > H || html.scrollWidth > W || window.scrollY !== 0)
    out.problems.push("the page scrolls: " + html.scrollWidth + "x" + html.scrollHeight);

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
  };
  const auto found = faces.find(lang);
  // Latin, Cyrillic and Hebrew.
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

class PageLanguageTest : public RealPageTest {
 protected:
  // Every language the page has a catalogue for, then English.
  std::vector<std::string> languages() {
    const json tags =
        json::parse(json::parse(value("JSON.stringify(Object.keys(window.vornCatalogues).map(function (k) { "
                                      "return window.vornCatalogues[k].lang; }))"))
                        .get<std::string>());
    std::vector<std::string> all = tags.get<std::vector<std::string>>();
    all.emplace_back("en");
    return all;
  }

  // The user's languages become `lang` alone, as when they change in the session.
  void speak(const std::string& lang) {
    run("Object.defineProperty(navigator, 'languages', { value: ['" + lang +
        "'], configurable: true }); window.dispatchEvent(new Event('languagechange'))");
  }

  // `face`: whether to hold the page to its script's face; the Latin ones come
  // from the desktop's own (system-ui), which follows the locale's language.
  json look(const std::string& lang, const std::string& state, bool face = true) {
    const std::string where = lang + ", " + state;
    json seen = json::parse(json::parse(value("vornLook('" + faceOf(lang) + "')")).get<std::string>());
    EXPECT_EQ(seen["lang"], lang) << where;
    EXPECT_EQ(seen["dir"], rightToLeft(lang) ? "rtl" : "ltr") << where;
    EXPECT_EQ(seen["width"], kWindowWidth) << where;
    EXPECT_EQ(seen["height"], kWindowHeight) << where;
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
};

TEST_F(PageLanguageTest, EveryLanguageInEveryStateIsWholeAndFitsTheWindow) {
  // A message as long as a real one can be, to show that only its own box scrolls.
  std::string line = "vorn-updater: the extension folder could not be prepared:";
  for (int i = 0; i < 60; ++i)
    line += " /home/someone/Applications/Vorn Preview Setup.app/Contents/extension";
  useHeldFailingUpdater(line);
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    ASSERT_EQ(value(kLook), "true");
    ASSERT_TRUE(reaches("start"));
    const std::vector<std::string> all = languages();
    ASSERT_GE(all.size(), 6U) << "the page has too few catalogues";
    lookInEach("start");

    press("install");
    ASSERT_TRUE(reaches("installing"));
    lookInEach("installing");
    openGate();
    ASSERT_TRUE(reaches("error"));
    lookInEach("error, the updater's own");

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

    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    lookInEach("confirmed");
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
        // No catalogue for the language asked for: English.
        Choice{"English", {{"LANG", "xx_YY.UTF-8"}}, "en"}),
    [](const ::testing::TestParamInfo<Choice>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn
