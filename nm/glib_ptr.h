#pragma once
// Owners for GLib and GObject values: one unique_ptr alias per type, and outPtr() for the
// GError** (or other T**) out-arguments of C calls. GObject references are never taken
// implicitly: a "transfer full" result is adopted, a borrowed one retained, each on purpose.
#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace glib_ptr_detail {
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct Free {
    void operator()(void* memory) const { g_free(memory); }
};
struct PtrArrayUnref {
    void operator()(GPtrArray* array) const { g_ptr_array_unref(array); }
};
struct ObjectUnref {
    void operator()(void* object) const { g_object_unref(object); }
};
}  // namespace glib_ptr_detail

using GErrorPtr = std::unique_ptr<GError, glib_ptr_detail::ErrorFree>;
using GVariantPtr = std::unique_ptr<GVariant, glib_ptr_detail::VariantUnref>;
using GCharPtr = std::unique_ptr<gchar, glib_ptr_detail::Free>;
using GPtrArrayPtr = std::unique_ptr<GPtrArray, glib_ptr_detail::PtrArrayUnref>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, glib_ptr_detail::ObjectUnref>;

// Takes over a reference the caller already owns ("transfer full").
template <typename T>
GObjectPtr<T> adoptGObject(T* object) {
    return GObjectPtr<T>(object);
}

// Takes a new reference on a borrowed object ("transfer none").
template <typename T>
GObjectPtr<T> retainGObject(T* object) {
    if (object) g_object_ref(object);
    return GObjectPtr<T>(object);
}

// Out-argument adapter: `call(..., outPtr(error))` hands the C function a T** and stores what
// it wrote into the owner when the full expression ends.
template <typename T, typename D>
class OutPtr {
  public:
    explicit OutPtr(std::unique_ptr<T, D>& owner) : owner_(owner) {}
    OutPtr(const OutPtr&) = delete;
    OutPtr& operator=(const OutPtr&) = delete;
    ~OutPtr() { owner_.reset(raw_); }
    operator T**() { return &raw_; }

  private:
    std::unique_ptr<T, D>& owner_;
    T* raw_ = nullptr;
};

template <typename T, typename D>
OutPtr<T, D> outPtr(std::unique_ptr<T, D>& owner) {
    owner.reset();
    return OutPtr<T, D>(owner);
}
