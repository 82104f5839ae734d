// How the page hears an event: this call, with the event as one JSON object
// and a closing parenthesis.
#pragma once

#include <string_view>

namespace vorn {

inline constexpr std::string_view kPageEventCall = "window.vornSetup.receive(";

}  // namespace vorn
