#include "controller_fixture.h"

#include <cstdlib>
#include <fstream>

namespace vorn::testing {

TempFolder::TempFolder(const std::string& stem) {
  std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Tests may leave folders without permissions; give them back before removal.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ControllerTest::ControllerTest(const std::string& bundleName)
    : bundle_(temp.path() / bundleName),
      platform(platform::posix::PosixFoundation::Options{
          .executablePath = (bundle_ / "Contents" / "MacOS" / "vorn-preview-setup").string(), .clock = {}}) {
  std::filesystem::create_directories(uiFolder());
  controller = SetupController::create(platform.table());
  if (controller) platform.app.setDelegate(controller.get());
}

void ControllerTest::launch() { controller->applicationDidFinishLaunching(); }

}  // namespace vorn::testing
