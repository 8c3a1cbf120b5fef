#include "linux/GioApplication.h"

#include "linux/support/Failure.h"
#include "linux/support/HotKeyDispatch.h"
#include "linux/support/Log.h"

#include <glib-unix.h>

#include <csignal>

GioApplication::GioApplication()
    : m_application(GRefPtr<GApplication>::adopt(g_application_new(applicationId, G_APPLICATION_DEFAULT_FLAGS)))
{
    m_activateHandler = g_signal_connect(m_application.get(), "activate", G_CALLBACK(activated), this);
}

GioApplication::~GioApplication()
{
    for (const auto& name : m_hotKeyActions)
        g_action_map_remove_action(G_ACTION_MAP(m_application.get()), name.c_str());
    g_signal_handler_disconnect(m_application.get(), m_activateHandler);
}

void GioApplication::addHotKeyActions(std::uint32_t count, std::function<void(std::uint32_t)> press)
{
    m_pressHotKey = std::move(press);
    for (std::uint32_t id = 0; id < count; ++id) {
        m_hotKeyActions.push_back(hotKeyActionName(id));
        auto action = GRefPtr<GSimpleAction>::adopt(g_simple_action_new(m_hotKeyActions.back().c_str(), nullptr));
        g_object_set_data(G_OBJECT(action.get()), "hot-key-id", GUINT_TO_POINTER(id));
        // The action goes with the application's action map, and its handler with it.
        g_signal_connect(action.get(), "activate", G_CALLBACK(hotKeyActionActivated), this);
        g_action_map_add_action(G_ACTION_MAP(m_application.get()), G_ACTION(action.get()));
    }
}

GioApplication::Instance GioApplication::registerInstance()
{
    // GApplication quietly runs as a non-unique instance when it finds no session bus; the
    // program must not, since everything it offers the desktop lives on that bus.
    GUniqueOutPtr<GError> error;
    auto sessionBus = GRefPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error.outPtr()));
    if (!sessionBus) {
        logLine("cannot run without a D-Bus session bus: %s", Failure::from(error.get()).message.c_str());
        return Instance::failed;
    }
    if (!g_application_register(m_application.get(), nullptr, &error.outPtr())) {
        logLine("cannot claim %s on the session bus: %s", applicationId, Failure::from(error.get()).message.c_str());
        return Instance::failed;
    }
    if (g_application_get_is_remote(m_application.get())) {
        logLine("ZelnaMenu is already running in this session");
        return Instance::secondary;
    }
    m_connection = GRefPtr<GDBusConnection>::share(g_application_get_dbus_connection(m_application.get()));
    if (!m_connection) {
        logLine("cannot run without a D-Bus session bus");
        return Instance::failed;
    }
    return Instance::primary;
}

void GioApplication::setDelegate(ApplicationDelegate* delegate)
{
    m_delegate = delegate;
}

int GioApplication::run()
{
    // With no window to keep it alive, the application lives only while it is held.
    g_application_hold(m_application.get());
    const unsigned interruptSource = g_unix_signal_add(SIGINT, quitOnSignal, this);
    const unsigned terminateSource = g_unix_signal_add(SIGTERM, quitOnSignal, this);
    const int status = g_application_run(m_application.get(), 0, nullptr);
    g_source_remove(interruptSource);
    g_source_remove(terminateSource);
    g_application_release(m_application.get());
    return status;
}

bool GioApplication::respondsTo(std::string_view selector) const
{
    return selector == terminateSelector;
}

void GioApplication::perform(std::string_view selector, MenuItem&)
{
    if (selector == terminateSelector)
        g_application_quit(m_application.get());
}

void GioApplication::activated(GApplication*, void* userData)
{
    // The primary instance is activated once by its own run(); launching finishes only then.
    auto* self = static_cast<GioApplication*>(userData);
    if (self->m_hasFinishedLaunching || !self->m_delegate)
        return;
    self->m_hasFinishedLaunching = true;
    self->m_delegate->applicationDidFinishLaunching();
}

void GioApplication::hotKeyActionActivated(GSimpleAction* action, GVariant*, void* userData)
{
    auto* self = static_cast<GioApplication*>(userData);
    self->m_pressHotKey(GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(action), "hot-key-id")));
}

gboolean GioApplication::quitOnSignal(void* userData)
{
    g_application_quit(static_cast<GioApplication*>(userData)->m_application.get());
    return G_SOURCE_CONTINUE;
}
