// The status item on a private session bus, with the stand-in watcher of tests/support.

#include "linux/DbusNotifications.h"
#include "linux/StatusNotifierItem.h"
#include "linux/support/GOwnedCairo.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <regex>

using namespace zelna::test;

namespace {

class StatusNotifierItemTest : public testing::Test {
protected:
    std::map<std::string, std::string> properties()
    {
        return allProperties(host.get(), itemName, "/StatusNotifierItem", "org.kde.StatusNotifierItem");
    }
    std::string text(const char* name) // a string property, unquoted
    {
        const auto value = properties()[name];
        return value.substr(1, value.size() - 2);
    }
    /// tests/support/fake_status_watcher.py with these options, once it owns its name.
    std::unique_ptr<ChildProcess> startWatcher(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_status_watcher.py" });
        auto watcher = std::make_unique<ChildProcess>(options, true);
        EXPECT_EQ(events(*watcher, 1), std::vector<std::string> { "READY" });
        return watcher;
    }
    /// The watcher's next count reports (all that come within 300 ms, for none) without their times
    /// ("REGISTERED <service> <path>"), while the item's main loop runs.
    std::vector<std::string> events(ChildProcess& watcher, std::size_t count)
    {
        std::vector<std::string> seen;
        runMainLoopUntil([&] {
            for (std::optional<std::string> line; (!count || seen.size() < count) && (line = watcher.readLine(0ms));) {
                const auto time = line->find(' '), rest = line->find(' ', time + 1);
                seen.push_back(line->substr(0, time) + (rest == std::string::npos ? "" : line->substr(rest)));
            }
            return count && seen.size() >= count; // none expected: watch a while
        }, count ? 10s : 300ms);
        return seen;
    }

    ScratchDirectory scratch;
    ScopedEnvironment runtimeDirectory { "XDG_RUNTIME_DIR", scratch.path };
    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect(), host = bus.connect();
    std::string itemName = g_dbus_connection_get_unique_name(connection.get());
    std::unique_ptr<StatusNotifierItem> item = std::make_unique<StatusNotifierItem>(connection.get(), nullptr);
};

} // namespace

TEST_F(StatusNotifierItemTest, RegistersByPathOncePerWatcherRetryingRefusalsAndSaysSoOncePerRun)
{
    testing::internal::CaptureStderr();
    runMainLoopFor(200ms);
    // A watcher that owns its name before it answers on it refuses at first; a host that joins it
    // later changes nothing for an item it took (GNOME resets an item registered twice).
    auto watcher = startWatcher({ "--refuse", "2", "--host-after", "1" });
    const std::string registered = "REGISTERED " + itemName + " /StatusNotifierItem";
    EXPECT_EQ(events(*watcher, 4), (std::vector<std::string> { "REFUSED", "REFUSED", registered, "HOST" }));
    EXPECT_EQ(events(*watcher, 0), std::vector<std::string> {});
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("no status-area host is running"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << "one line for the run of refusals:\n" << said;

    // A panel restart: the name loses its owner and gets a new one, which knows nothing.
    watcher.reset();
    watcher = startWatcher();
    EXPECT_EQ(events(*watcher, 1), std::vector<std::string> { registered });
    EXPECT_EQ(events(*watcher, 0), std::vector<std::string> {});

    // One that keeps refusing is asked less and less often: at 0, ¼, ¾ and 1¾ s in the first two.
    watcher.reset();
    watcher = startWatcher({ "--refuse", "100" });
    runMainLoopFor(2s);
    EXPECT_LE(events(*watcher, 0).size(), 4U) << "retries back off";
}

TEST_F(StatusNotifierItemTest, HostsReadTheContractAndHearOfChangesOnlyWhileAWatcherRuns)
{
    // The interface's contract, once: values printed with their D-Bus types.
    auto all = properties();
    for (const auto& [property, value] : std::map<std::string, std::string> { { "Category", "'ApplicationStatus'" },
             { "Id", "'zelnamenu'" }, { "Title", "'ZelnaMenu'" }, { "Status", "'Active'" }, { "WindowId", "0" },
             { "ItemIsMenu", "true" }, { "Menu", "objectpath '/MenuBar'" }, { "XAyatanaLabel", "''" },
             { "XAyatanaLabelGuide", "''" }, { "ToolTip", "('', @a(iiay) [], '', '')" } })
        EXPECT_EQ(all[property], value) << property;
    EXPECT_TRUE(all["IconPixmap"].starts_with("[(16, 16, ")) << "never empty, not even before the first image";
    const auto call = [&](const char* method, const char* arguments) {
        return callMethod(host.get(), itemName, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method, arguments);
    };
    // The item is a menu: hosts that call Activate on a left click (Plasma) then open the menu.
    EXPECT_NE(call("Activate", "(12, 16)").error.find("UnknownMethod"), std::string::npos);

    SignalRecorder signals(host.get(), itemName, "/StatusNotifierItem");
    item->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0x80402010));
    item->setTitle(" Zelna_Pulse");
    runMainLoopFor(200ms);
    EXPECT_TRUE(signals.of("NewIcon").empty() && signals.of("XAyatanaNewLabel").empty())
        << "a host that comes reads every property anew";
    auto watcher = startWatcher();
    events(*watcher, 1);
    item->setTitle(" Zelna_Aria");
    for (int time = 0; time < 2; ++time) // every rebuild draws the same again
        item->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0xff0000ff));
    ASSERT_TRUE(runMainLoopUntil([&] { return !signals.of("NewIcon").empty(); }));
    runMainLoopFor(200ms);
    EXPECT_EQ(signals.of("XAyatanaNewLabel"), std::vector<std::string> { "XAyatanaNewLabel(' Zelna_Aria', '')" });
    EXPECT_EQ(text("XAyatanaLabel"), " Zelna_Aria");
    EXPECT_EQ(signals.of("NewIcon").size(), 1U);
    EXPECT_TRUE(signals.of("NewTitle").empty()) << "the Title property never changes";
}

TEST_F(StatusNotifierItemTest, TheImageFillsASquareOfEverySizeHostsDrawInPixmapsAndIconFiles)
{
    // 3 × 2 points of premultiplied 0x80402010: as wide as each square, two thirds as high, centred.
    item->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0x80402010));
    auto reply = callMethod(host.get(), itemName, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
        "('org.kde.StatusNotifierItem', 'IconPixmap')");
    ASSERT_TRUE(reply) << reply.error;
    GUniquePtr<GVariant> boxed(g_variant_get_child_value(reply.value.get(), 0));
    GUniquePtr<GVariant> pixmaps(g_variant_get_variant(boxed.get()));
    std::vector<int> sides;
    for (gsize index = 0; index < g_variant_n_children(pixmaps.get()); ++index) {
        int side = 0, height = 0;
        GVariant* bytesVariant = nullptr;
        g_variant_get_child(pixmaps.get(), index, "(ii@ay)", &side, &height, &bytesVariant);
        GUniquePtr<GVariant> owned(bytesVariant);
        gsize size = 0;
        const auto* bytes = static_cast<const char*>(g_variant_get_fixed_array(bytesVariant, &size, 1));
        ASSERT_TRUE(height == side && size == static_cast<gsize>(4 * side * side)) << side;
        const auto pixel = [&](int x, int y) { return std::string(bytes + 4 * (y * side + x), 4); };
        // Straight alpha, in network order: A, R, G, B.
        EXPECT_EQ(pixel(0, side / 2), std::string("\x80\x80\x40\x20")) << side;
        EXPECT_EQ(pixel(side - 1, side / 2), pixel(0, side / 2)) << side;
        EXPECT_EQ(pixel(0, 0), std::string(4, '\0')) << side;
        sides.push_back(side);
    }
    EXPECT_EQ(sides, (std::vector<int> { 16, 22, 24, 32, 44, 48, 64, 96 }));

    // Hosts that read icon names find the same squares in a hicolor layout in the runtime folder,
    // once written off the main loop.
    ASSERT_TRUE(runMainLoopUntil([&] { return !text("IconName").empty(); }));
    const std::string directory = text("IconThemePath"), firstName = text("IconName");
    EXPECT_EQ(directory, scratch.path.string() + "/zelnamenu");
    for (const auto& [folder, side] : std::map<std::string, int> {
             { "", 96 }, { "/hicolor/16x16/apps", 16 }, { "/hicolor/24x24@2/apps", 48 } }) {
        GUniquePtr<cairo_surface_t> png(
            cairo_image_surface_create_from_png((directory + folder + "/" + firstName + ".png").c_str()));
        EXPECT_EQ(cairo_image_surface_get_width(png.get()) * 1000 + cairo_image_surface_get_height(png.get()),
            side * 1001) << folder;
    }
    EXPECT_NE(readFile(directory + "/hicolor/index.theme").find("[22x22@2/apps]\nSize=22\nScale=2\n"), std::string::npos);
    item->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0x80402010));
    EXPECT_EQ(text("IconName"), firstName) << "the same drawing keeps its files";
    item->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0xff0000ff));
    ASSERT_TRUE(runMainLoopUntil([&] { return !text("IconName").empty(); }));
    const std::string second = directory + "/hicolor/22x22/apps/" + text("IconName") + ".png";
    EXPECT_NE(text("IconName"), firstName) << "hosts cache icons by name";
    EXPECT_FALSE(std::filesystem::exists(directory + "/hicolor/22x22/apps/" + firstName + ".png"));
    EXPECT_TRUE(std::filesystem::exists(second));
    item.reset();
    EXPECT_FALSE(std::filesystem::exists(second)) << "the item cleans up after itself";
}

TEST_F(StatusNotifierItemTest, WithoutAHostANoticeSaysHowToGetOneOncePerLogin)
{
    const std::string log = scratch.path.string() + "/notifications.log";
    ChildProcess server({ "/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon", "-l", log });
    ASSERT_TRUE(waitForNameOwner(host.get(), "org.freedesktop.Notifications"));
    DbusNotifications notifications(connection.get());
    const auto notices = [&] {
        static const std::regex call("Notify ");
        const std::string calls = readFile(log);
        return std::distance(std::sregex_iterator(calls.begin(), calls.end(), call), {});
    };
    const auto lonelyItem = [&](const std::string& number) {
        return std::make_unique<StatusNotifierItem>(
            connection.get(), nullptr, &notifications, 300ms, "/Item" + number, "/Menu" + number);
    };
    auto first = lonelyItem("1");
    ASSERT_TRUE(runMainLoopUntil([&] { return notices() == 1; }));
    EXPECT_NE(readFile(log).find("gnome-shell-extension-appindicator"), std::string::npos) << readFile(log);
    first.reset();
    auto second = lonelyItem("2");
    runMainLoopFor(800ms);
    EXPECT_EQ(notices(), 1) << "restarted in the same login";

    std::filesystem::remove(scratch.path / "zelnamenu/no-host-notice");
    auto watcher = startWatcher();
    auto third = lonelyItem("3");
    runMainLoopFor(800ms);
    EXPECT_EQ(notices(), 1) << "a host came in time";
    auto seen = events(*watcher, 0);
    std::sort(seen.begin(), seen.end());
    const std::string registered = "REGISTERED " + itemName + " /";
    EXPECT_EQ(seen, (std::vector { registered + "Item2", registered + "Item3", registered + "StatusNotifierItem" }))
        << "each once, also one made while the watcher runs";
}
