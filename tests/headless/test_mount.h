// Mounts for the tests of what removal leaves whole.
#pragma once

#include <sys/mount.h>

#include <filesystem>

namespace vorn::testing {

// A file system mounted for the scope of a test, detached however it ends.
class Mount {
 public:
  Mount(const std::filesystem::path& at, const char* source, const char* type, unsigned long flags,
        const char* options)
      : at_(at) {
    std::filesystem::create_directories(at);
    mounted_ = ::mount(source, at.c_str(), type, flags, options) == 0;
  }
  ~Mount() { detach(); }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  [[nodiscard]] bool mounted() const { return mounted_; }
  // Where it is now, once the folder holding it has been renamed.
  void movedTo(const std::filesystem::path& at) { at_ = at; }
  void detach() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    mounted_ = false;
  }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
};

}  // namespace vorn::testing
