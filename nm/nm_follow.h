#pragma once
// The owner of signal connections on one GObject: it holds a reference on the object while it
// follows it, and disconnects every handler it connected when it lets go or is destroyed.
#include <glib-object.h>

#include <utility>
#include <vector>

class NmFollow {
  public:
    NmFollow() = default;
    NmFollow(const NmFollow&) = delete;
    NmFollow& operator=(const NmFollow&) = delete;
    ~NmFollow() { reset(); }

    // Follows object from now on (null: nothing); what was followed before is let go.
    void reset(gpointer object = nullptr) {
        if (object_ != nullptr) {
            for (gulong id : handlers_) g_signal_handler_disconnect(object_, id);
            g_object_unref(object_);
        }
        handlers_.clear();
        object_ = object != nullptr ? g_object_ref(object) : nullptr;
    }
    // Connects handler to signal on the followed object.
    void connect(const char* signal, GCallback handler, gpointer data) {
        if (object_ != nullptr)
            handlers_.push_back(g_signal_connect(object_, signal, handler, data));
    }
    gpointer get() const { return object_; }

  private:
    gpointer object_ = nullptr;
    std::vector<gulong> handlers_;
};
