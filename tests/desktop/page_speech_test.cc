// What a screen reader hears of the real page through WebKitGTK's AT-SPI: a
// listener on the accessibility bus writes down each focus change with the
// focused object's role, name and description, as a screen reader reads them
// out, while the road runs. Every change of state must be heard with its
// words, and Tab must go round the page's own named controls.
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/desktop/real_page_fixture.h"

namespace vorn {
namespace {

using namespace desktop_testing;
using nlohmann::json;

constexpr const char* kListener = VORN_ATSPI_LISTENER_PATH;
constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
constexpr const char* kCheckNote = "Once the extension is loaded, setup notices it within a second or two.";

// The listener child and the events it has written so far.
class BusListener {
 public:
  BusListener() {
    gchar* folder = g_dir_make_tmp("vorn-atspi-XXXXXX", nullptr);
    if (folder != nullptr) {
      folder_ = folder;
      g_free(folder);
    }
    file_ = folder_ + "/events";
    process_ = g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, nullptr, kListener, file_.c_str(), nullptr);
  }
  ~BusListener() {
    if (process_ != nullptr) {
      g_subprocess_force_exit(process_);
      g_subprocess_wait(process_, nullptr, nullptr);
      g_object_unref(process_);
    }
    std::error_code ignored;
    // For a look at everything heard, e.g. when a test fails.
    if (const char* keep = std::getenv("VORN_KEEP_EVENTS"))
      std::filesystem::copy_file(file_, keep, std::filesystem::copy_options::overwrite_existing, ignored);
    std::filesystem::remove_all(folder_, ignored);
  }
  BusListener(const BusListener&) = delete;
  BusListener& operator=(const BusListener&) = delete;

  bool ready() {
    return process_ != nullptr && pumpUntil([&] { return read(), !events_.empty(); }, 30.0);
  }
  // Skips what was heard so far.
  void forget() {
    read();
    seen_ = events_.size();
  }
  // The next focus change after the last one looked at, within `seconds`.
  std::optional<json> nextFocus(double seconds = 10.0) {
    std::optional<json> found;
    pumpUntil(
        [&] {
          read();
          for (; seen_ < events_.size() && !found; ++seen_) {
            if (events_[seen_].value("event", "").starts_with("object:state-changed:focused"))
              found = events_[seen_];
          }
          return found.has_value();
        },
        seconds);
    return found;
  }
  // The next focus change on an object called `name`, skipping others.
  std::optional<json> focusOn(const std::string& name, double seconds = 10.0) {
    for (auto event = nextFocus(seconds); event; event = nextFocus(seconds)) {
      if ((*event)["name"] == name) return event;
    }
    return std::nullopt;
  }

 private:
  void read() {
    std::ifstream in(file_);
    in.seekg(offset_);
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written
      offset_ += static_cast<std::streamoff>(line.size()) + 1;
      events_.push_back(json::parse(line, nullptr, false));
    }
  }

  std::string folder_;
  std::string file_;
  GSubprocess* process_ = nullptr;
  std::streamoff offset_ = 0;
  std::vector<json> events_;
  std::size_t seen_ = 0;
};

// Accessible descriptions are the referenced texts with white space collapsed.
std::string collapsed(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool space = c == ' ' || c == '\n' || c == '\t';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out += space ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

class PageSpeechTest : public RealPageTest {
 protected:
  // Real key presses through the X server into the program's window, once it
  // has the keyboard focus.
  bool focusWindow() { return runChild({"xdotool", "windowfocus", "--sync", windowId()}).status == 0; }
  bool typeKeys(const std::vector<std::string>& keys) {
    std::vector<std::string> argv{"xdotool", "key", "--delay", "150"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    return runChild(argv).status == 0;
  }
  std::string windowId() { return std::to_string(x11WindowId(windowWidget())); }

  // The next focus change is on `name` in the page, said with `description`.
  void expectHeard(const std::optional<json>& event, const std::string& role, const std::string& name,
                   const std::string& description) {
    ASSERT_TRUE(event) << "nothing heard for " << name;
    EXPECT_EQ((*event)["role"], role) << event->dump();
    EXPECT_EQ((*event)["name"], name) << event->dump();
    EXPECT_EQ((*event)["description"], description) << event->dump();
    EXPECT_EQ((*event)["toolkit"], "WebKitGTK") << event->dump();
  }

  BusListener listener;
};

TEST_F(PageSpeechTest, EveryChangeOfStateIsHeardWithItsWords) {
  const std::string line = "vorn-updater: the extension folder could not be prepared: \"disk\" <full>";
  useHeldFailingUpdater(line);
  const int status = runProgram([&] {
    ASSERT_TRUE(listener.ready()) << "the listener did not start";
    ASSERT_TRUE(pageReady());
    ASSERT_TRUE(reaches("start"));
    listener.forget();

    press("install");
    expectHeard(listener.focusOn("Installing Vorn Preview"), "progress bar", "Installing Vorn Preview",
                "Installing Vorn Preview… This usually takes a few seconds.");
    openGate();
    ASSERT_TRUE(reaches("error"));
    // Heard with the button that offers to try again: the page's sentence for
    // the failure, then the whole reason in the program's words.
    expectHeard(listener.focusOn("Try again"), "push button", "Try again",
                collapsed("The updater reported a problem. Installation could not finish. " + line));

    useHeldSampleUpdater();
    press("retry");
    expectHeard(listener.focusOn("Installing Vorn Preview"), "progress bar", "Installing Vorn Preview",
                "Installing Vorn Preview… This usually takes a few seconds.");
    openGate();
    ASSERT_TRUE(reaches("installed"));
    ASSERT_TRUE(controller->view().result);
    const std::string folder = controller->view().result->folder;
    expectHeard(listener.focusOn("Connect the browser extension"), "heading", "Connect the browser extension",
                "Vorn Preview is installed. Two steps in Chrome finish the setup.");

    // Each Copy button says what it copies, and then that it has.
    run("document.getElementById('copy-extensions').focus()");
    expectHeard(listener.nextFocus(), "push button", "Copy address", "chrome://extensions/");
    run("document.getElementById('copy-extensions').click()");
    expectHeard(listener.focusOn("Copied"), "push button", "Copied", "chrome://extensions/");
    run("document.getElementById('copy-folder').focus()");
    expectHeard(listener.nextFocus(), "push button", "Copy folder", folder);
    run("document.getElementById('copy-folder').click()");
    expectHeard(listener.focusOn("Copied"), "push button", "Copied", folder);

    // Checking before the extension is there: told so on the button.
    run("document.getElementById('check').focus()");
    expectHeard(listener.nextFocus(), "push button", "Check now", kCheckNote);
    run("document.getElementById('check').click()");
    expectHeard(listener.focusOn("Check now"), "push button", "Check now",
                "Not connected yet. Load the extension folder in Chrome, then check again.");

    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    expectHeard(listener.focusOn("Done"), "push button", "Done",
                "Setup is complete Vorn Preview is installed and its browser extension is connected. You’re "
                "ready to go.");
    pressDone();
  });
  EXPECT_EQ(status, 0);
}

// In German, as in every language with a catalogue, every word heard is the
// catalogue's, but for the names kept as they are.
TEST_F(PageSpeechTest, AGermanPageIsHeardInGerman) {
  const ScopedLanguage german({std::pair<std::string, std::string>{"LANGUAGE", "de_DE"}});
  useHeldSampleUpdater();
  const int status = runProgram([&] {
    ASSERT_TRUE(listener.ready()) << "the listener did not start";
    ASSERT_TRUE(pageReady());
    ASSERT_TRUE(reaches("start"));
    listener.forget();

    press("install");
    expectHeard(listener.focusOn("Vorn Preview wird installiert"), "progress bar",
                "Vorn Preview wird installiert",
                "Vorn Preview wird installiert … Das dauert meist nur wenige Sekunden.");
    openGate();
    ASSERT_TRUE(reaches("installed"));
    expectHeard(listener.focusOn("Browser-Erweiterung verbinden"), "heading", "Browser-Erweiterung verbinden",
                "Vorn Preview ist installiert. Jetzt fehlen nur noch zwei Schritte in Chrome.");
    run("document.getElementById('copy-extensions').focus()");
    expectHeard(listener.nextFocus(), "push button", "Adresse kopieren", "chrome://extensions/");
    run("document.getElementById('copy-extensions').click()");
    expectHeard(listener.focusOn("Kopiert"), "push button", "Kopiert", "chrome://extensions/");

    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    expectHeard(
        listener.focusOn("Fertig"), "push button", "Fertig",
        "Einrichtung abgeschlossen Vorn Preview ist installiert und die Browser-Erweiterung ist verbunden. "
        "Alles ist bereit.");
    pressDone();
  });
  EXPECT_EQ(status, 0);
}

TEST_F(PageSpeechTest, TheStepsAreAListAndTabGoesRoundThePageOwnNamedControls) {
  useHeldSampleUpdater();
  openGate();
  const int status = runProgram([&] {
    ASSERT_TRUE(listener.ready()) << "the listener did not start";
    ASSERT_TRUE(pageReady());
    press("install");
    ASSERT_TRUE(reaches("installed"));
    ASSERT_TRUE(controller->view().result);
    const std::string folder = controller->view().result->folder;
    ASSERT_TRUE(listener.focusOn("Connect the browser extension"));

    // The two steps are read as a list of two.
    const std::string listing = std::filesystem::temp_directory_path() / "vorn-atspi-tree.json";
    ASSERT_EQ(runChild({kListener, "--tree", listing}).status, 0);
    const json objects = json::parse(std::ifstream(listing), nullptr, false);
    std::filesystem::remove(listing);
    ASSERT_TRUE(objects.is_array());
    int lists = 0;
    int items = 0;
    for (const json& object : objects) {
      if (object["role"] == "list" && object["children"] == 2) ++lists;
      if (object["role"] == "list item") ++items;
    }
    EXPECT_EQ(lists, 1) << objects.dump();
    EXPECT_EQ(items, 2);

    // From the heading that the new state focused, round once and a step
    // further, then back.
    ASSERT_TRUE(focusWindow());
    pumpFor(0.5);
    listener.forget();
    ASSERT_TRUE(typeKeys({"Tab", "Tab", "Tab", "Tab", "Tab", "Tab", "shift+Tab", "shift+Tab"}));
    const std::vector<std::pair<std::string, std::string>> expected{
        {"Extensions page address", "chrome://extensions/"},
        {"Copy address", "chrome://extensions/"},
        {"Extension folder", folder},
        {"Copy folder", folder},
        {"Check now", kCheckNote},
        {"Extensions page address", "chrome://extensions/"},
        {"Check now", kCheckNote},
        {"Copy folder", folder},
    };
    for (const auto& [name, description] : expected) {
      const auto event = listener.nextFocus();
      ASSERT_TRUE(event) << "no focus change for " << name;
      EXPECT_EQ((*event)["toolkit"], "WebKitGTK") << event->dump();
      EXPECT_EQ((*event)["name"], name) << event->dump();
      EXPECT_EQ((*event)["description"], description) << event->dump();
    }
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(windowWidget())), GTK_WIDGET(view()));
    endRoad();
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace vorn
