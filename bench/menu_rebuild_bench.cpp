// The cost of one menu rebuild: MenuManager draws the status image and builds the menu, and the
// real StatusNotifierItem packs the pixmaps, writes the icon file and publishes a new dbusmenu
// layout on a private session bus. The ports the rebuild only reads (hot keys, preferences, login
// item, updater, player) are the unit tests' fakes, so that nothing else is timed.

#include "core/AudioPlayer.h"
#include "core/MenuManager.h"
#include "fakes/FakePlatform.h"
#include "linux/CairoGraphics.h"
#include "linux/GettextLocalizer.h"
#include "linux/StatusNotifierItem.h"
#include "linux/support/Failure.h"

#include <benchmark/benchmark.h>
#include <gio/gio.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

namespace {

/// Nothing of the menu is clicked while timing; the application's actions are never asked for.
class NoApplication final : public ActionTarget {
public:
    bool respondsTo(std::string_view) const override { return false; }
    void perform(std::string_view, MenuItem&) override { }
};

void drainMainContext()
{
    while (g_main_context_iteration(nullptr, FALSE)) { }
}

GRefPtr<GDBusConnection> connectTo(GTestDBus* bus)
{
    GUniqueOutPtr<GError> error;
    auto connection
        = GRefPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(g_test_dbus_get_bus_address(bus),
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error.outPtr()));
    if (!connection) {
        std::cerr << "menu_rebuild_bench: no private bus: " << Failure::from(error.get()).message << '\n';
        std::exit(1);
    }
    return connection;
}

/// A private session bus with ZelnaMenu's menu manager and status item on it, and a second
/// connection that reads the menu as a panel would.
class Desktop {
public:
    Desktop()
        : m_bus(GRefPtr<GTestDBus>::adopt(g_test_dbus_new(G_TEST_DBUS_NONE)))
    {
        g_test_dbus_up(m_bus.get());
        m_connection = connectTo(m_bus.get());
        m_panel = connectTo(m_bus.get());
        m_statusItem = std::make_shared<StatusNotifierItem>(m_connection.get(), std::make_shared<NoApplication>());
        m_player = AudioPlayer::make(m_fakes.playerServices());
        m_manager = MenuManager::make(
            m_statusItem, m_player, { m_graphics, m_localizer, m_fakes, m_fakes, m_fakes, m_fakes });
        m_manager->start();
        drainMainContext();
    }

    ~Desktop()
    {
        m_manager.reset();
        m_player.reset();
        m_statusItem.reset();
        drainMainContext();
        m_panel.reset();
        m_connection.reset();
        g_test_dbus_down(m_bus.get());
    }

    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    /// The menu manager rebuilds on every change of the player's state; this is that path.
    void rebuildMenu() { m_player->onStateChange(); }

    /// What a panel does on LayoutUpdated: fetch the whole layout. The exporter answers on this
    /// thread's main context, which runs until the reply is in.
    void readMenuAsPanel()
    {
        bool answered = false;
        g_dbus_connection_call(
            m_panel.get(), g_dbus_connection_get_unique_name(m_connection.get()), StatusNotifierItem::defaultMenuPath,
            "com.canonical.dbusmenu", "GetLayout", g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)),
            G_VARIANT_TYPE("(u(ia{sv}av))"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
            [](GObject* source, GAsyncResult* result, void* userData) {
                GUniqueOutPtr<GError> error;
                GUniquePtr<GVariant> reply(
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
                if (!reply)
                    std::cerr << "menu_rebuild_bench: GetLayout failed: " << Failure::from(error.get()).message << '\n';
                *static_cast<bool*>(userData) = true;
            },
            &answered);
        while (!answered)
            g_main_context_iteration(nullptr, TRUE);
    }

private:
    GRefPtr<GTestDBus> m_bus;
    GRefPtr<GDBusConnection> m_connection;
    GRefPtr<GDBusConnection> m_panel;

    FakePlatform m_fakes;
    CairoGraphics m_graphics;
    GettextLocalizer m_localizer { std::filesystem::path(ZELNA_BINARY_DIR) / "share/locale" };

    std::shared_ptr<StatusNotifierItem> m_statusItem;
    std::shared_ptr<AudioPlayer> m_player;
    std::shared_ptr<MenuManager> m_manager;
};

Desktop* desktop = nullptr;

void BM_RebuildMenu(benchmark::State& state)
{
    for (auto _ : state) {
        desktop->rebuildMenu();
        // GDBus's own thread sends the queued signals; what is left for the main context is
        // bookkeeping that a running loop does between events, not part of the rebuild.
        state.PauseTiming();
        drainMainContext();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RebuildMenu)->Unit(benchmark::kMicrosecond);

// The whole way of a change to a panel: the rebuild, then the panel's GetLayout round trip.
void BM_RebuildMenuAndPanelReadsIt(benchmark::State& state)
{
    for (auto _ : state) {
        desktop->rebuildMenu();
        desktop->readMenuAsPanel();
    }
}
BENCHMARK(BM_RebuildMenuAndPanelReadsIt)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Desktop session;
    desktop = &session;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    desktop = nullptr;
    return 0;
}
