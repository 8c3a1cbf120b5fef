#pragma once

// Asynchronous GIO calls whose owner may be gone before they complete. The owner holds a
// PendingCalls and starts each call with its cancellable; destroying the owner cancels them, and
// a cancelled call's completion never runs. A completion may therefore use the owner freely.

#include "linux/support/Failure.h"

#include <functional>

class PendingCalls {
public:
    PendingCalls();
    /// Cancels every call under way.
    ~PendingCalls();
    PendingCalls(const PendingCalls&) = delete;
    PendingCalls& operator=(const PendingCalls&) = delete;

    GCancellable* cancellable() const { return m_cancellable.get(); }
    /// Drops the completions of the calls under way; calls started afterwards are not affected.
    void cancelAll();

private:
    GRefPtr<GCancellable> m_cancellable;
};

using AsyncCompletion = std::function<void(GObject* source, GAsyncResult* result)>;

/// The callback and user data to hand a GIO asynchronous call made with cancellable:
/// completion runs on the main loop unless cancellable was cancelled first.
struct GuardedCompletion {
    GAsyncReadyCallback callback;
    gpointer data;
};
GuardedCompletion unlessCancelled(GCancellable* cancellable, AsyncCompletion completion);

/// An object on a bus, and the interface a call is made on.
struct DbusObject {
    const char* name;
    const char* path;
    const char* interface;
};

/// The reply of a D-Bus call, of the type asked for, or why there is none (the remote error's
/// D-Bus name stripped from its message). The reply is borrowed for the handler's run.
using DbusReplyHandler = std::function<void(const Result<GVariant*>& reply)>;

/// Calls method on object without waiting; onReply (which may be empty) runs later, unless
/// cancellable (which may be null) was cancelled first. parameters may be floating.
void callDbus(GDBusConnection* connection, const DbusObject& object, const char* method, GVariant* parameters,
              const GVariantType* replyType, GCancellable* cancellable, DbusReplyHandler onReply,
              GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NONE);
