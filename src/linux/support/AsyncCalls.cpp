#include "linux/support/AsyncCalls.h"

#include <memory>
#include <utility>

PendingCalls::PendingCalls()
    : m_cancellable(GRefPtr<GCancellable>::adopt(g_cancellable_new()))
{
}

PendingCalls::~PendingCalls()
{
    g_cancellable_cancel(m_cancellable.get());
}

void PendingCalls::cancelAll()
{
    g_cancellable_cancel(m_cancellable.get());
    // The calls under way keep the cancelled one; new calls get a fresh one.
    m_cancellable = GRefPtr<GCancellable>::adopt(g_cancellable_new());
}

GuardedCompletion unlessCancelled(GCancellable* cancellable, AsyncCompletion completion)
{
    struct Pending {
        GRefPtr<GCancellable> cancellable;
        AsyncCompletion completion;
    };
    const GAsyncReadyCallback callback = [](GObject* source, GAsyncResult* result, gpointer data) {
        const std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
        // Checked here rather than read from the result: a call that finished just before its
        // owner went must not reach the owner either.
        if (pending->cancellable && g_cancellable_is_cancelled(pending->cancellable.get()))
            return;
        if (pending->completion)
            pending->completion(source, result);
    };
    return { callback, new Pending { GRefPtr<GCancellable>::share(cancellable), std::move(completion) } };
}

void callDbus(GDBusConnection* connection, const DbusObject& object, const char* method, GVariant* parameters,
              const GVariantType* replyType, GCancellable* cancellable, DbusReplyHandler onReply,
              GDBusCallFlags flags)
{
    const auto done = unlessCancelled(
        cancellable, [onReply = std::move(onReply)](GObject* source, GAsyncResult* result) {
            GUniqueOutPtr<GError> error;
            GUniquePtr<GVariant> reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
            if (!onReply)
                return;
            if (!reply)
                g_dbus_error_strip_remote_error(error.get());
            onReply(reply ? Result<GVariant*>(reply.get()) : Result<GVariant*>(Failure::from(error.get())));
        });
    g_dbus_connection_call(connection, object.name, object.path, object.interface, method, parameters, replyType,
                           flags, -1, cancellable, done.callback, done.data);
}
