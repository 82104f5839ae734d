// Owning references to GObjects and GLib values, released exactly once.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace vorn::platform::gtk {

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
// Holds one reference; adopt a reference the caller already owns.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes an extra reference (sinking a floating one) and owns it.
template <typename T>
GObjectPtr<T> retain(T* object) {
  return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref_sink(object)) : nullptr);
}
// Owns a reference that was handed over (a "transfer full" result).
template <typename T>
GObjectPtr<T> adopt(T* object) {
  return GObjectPtr<T>(object);
}

struct GFreeDeleter {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GErrorDeleter {
  void operator()(GError* e) const { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GVariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

}  // namespace vorn::platform::gtk
