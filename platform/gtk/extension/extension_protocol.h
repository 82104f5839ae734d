// What the program and its web-process extension tell each other.
#pragma once

namespace vorn::platform::gtk {

// Handed to the extension when a web process starts: the granted folder's
// file-system path and the names of the page's message handlers.
inline constexpr char kInitType[] = "(sas)";
inline constexpr char kInitReadFormat[] = "(&sas)";  // the same, the path borrowed
// One post from the page: main-frame flag, the frame's URI (or nothing),
// whether the body is a string, and its UTF-8 text or the name of its kind.
inline constexpr char kPostType[] = "(bmsbay)";
inline constexpr char kPostFormat[] = "(bmsb@ay)";
inline constexpr char kPostReadFormat[] = "(bm&sb@ay)";  // the same, the URI borrowed

// The extension module's file inside the bundle's extensions folder.
inline constexpr char kExtensionFileName[] = "libvorn-setup-extension.so";

}  // namespace vorn::platform::gtk
