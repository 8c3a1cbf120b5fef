// The status item against a fake status-area watcher on a private session bus.

#include "linux/DbusNotifications.h"
#include "linux/StatusNotifierItem.h"
#include "support/DbusCalls.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

using namespace zelna::test;

namespace {

/// An image of one premultiplied colour, rasterised like the real one (size × scale, rounded up).
struct SolidImage : Image {
    SolidImage(std::uint32_t colour)
        : colour(colour)
    { }
    Size size() const override { return { 3, 2 }; }
    bool isTemplate() const override { return false; }
    void setTemplate(bool) override { }
    Bitmap rasterize(double scale) const override
    {
        const int width = static_cast<int>(std::ceil(3 * scale));
        const int height = static_cast<int>(std::ceil(2 * scale));
        return { width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height), colour) };
    }
    std::uint32_t colour;
};

class StatusNotifierItemTest : public ::testing::Test {
protected:
    GUniquePtr<GVariant> property(const char* name)
    {
        auto reply = callMethod(m_host.get(), m_item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
            std::string("('org.kde.StatusNotifierItem', '") + name + "')");
        GUniquePtr<GVariant> boxed(reply ? g_variant_get_child_value(reply.value.get(), 0) : nullptr);
        return GUniquePtr<GVariant>(boxed ? g_variant_get_variant(boxed.get()) : nullptr);
    }
    /// A string property as it stands; any other printed with its type.
    std::string text(const char* name)
    {
        auto value = property(name);
        return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)
            ? g_variant_get_string(value.get(), nullptr)
            : printed(value.get());
    }

    /// tests/support/fake_status_watcher.py with these options, once its name is owned.
    std::unique_ptr<ChildProcess> startWatcher(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_status_watcher.py" });
        auto watcher = std::make_unique<ChildProcess>(options, std::map<std::string, std::string> {}, true);
        EXPECT_EQ(nextEvents(*watcher, 1), std::vector<std::string> { "READY" });
        return watcher;
    }
    /// The watcher's next reports without their times, the item's main loop running meanwhile.
    std::vector<std::string> nextEvents(ChildProcess& watcher, std::size_t count)
    {
        std::vector<std::string> events;
        runMainLoopUntil([&] {
            while (auto line = watcher.readLine(std::chrono::milliseconds(0))) {
                std::istringstream words(*line);
                std::string kind, time, rest;
                words >> kind >> time;
                std::getline(words, rest);
                events.push_back(kind + (kind == "REGISTERED" ? rest : ""));
            }
            return events.size() >= count;
        });
        return events;
    }

    ScratchDirectory m_scratch;
    ScopedEnvironment m_runtimeDirectory { "XDG_RUNTIME_DIR", m_scratch.path() };
    PrivateSessionBus m_bus;
    GRefPtr<GDBusConnection> m_itemConnection = m_bus.connect();
    GRefPtr<GDBusConnection> m_host = m_bus.connect();
    std::string m_item = g_dbus_connection_get_unique_name(m_itemConnection.get());
    std::unique_ptr<StatusNotifierItem> item = std::make_unique<StatusNotifierItem>(m_itemConnection.get(), nullptr);
};

} // namespace

TEST(IconPixmapTest, SquaresAreCentredOrCroppedAndPixelsAreStraightArgbInNetworkOrder)
{
    EXPECT_EQ(centredSquare({ 1, 3, { 1, 2, 3 } }, 3).pixels, (std::vector<std::uint32_t> { 0, 1, 0, 0, 2, 0, 0, 3, 0 }));
    EXPECT_EQ(centredSquare({ 4, 1, { 1, 2, 3, 4 } }, 2).pixels, (std::vector<std::uint32_t> { 2, 3, 0, 0 }));
    EXPECT_EQ(fittedSquare(nullptr, 16).pixels, std::vector<std::uint32_t>(256, 0)) << "hosts reject an empty icon";

    // Premultiplied: half-transparent, opaque, fully transparent with stray colour, faint.
    const IconPixmap pixmap = iconPixmap({ 2, 2, { 0x80402010, 0xff112233, 0x00ffffff, 0x01010101 } });
    EXPECT_EQ(pixmap.width, 2);
    EXPECT_EQ(pixmap.argb,
        (std::vector<std::uint8_t> {
            0x80, 0x80, 0x40, 0x20, 0xff, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0x01, 0xff, 0xff, 0xff }));
}

TEST_F(StatusNotifierItemTest, RegistersByPathOncePerWatcherAndRetriesRefusals)
{
    testing::internal::CaptureStderr();
    runMainLoopFor(std::chrono::milliseconds(200));
    // A watcher that refuses twice, as one does that owns its name before it answers on it, and
    // that a host joins two seconds later: that changes nothing for an item it took.
    auto watcher = startWatcher({ "--refuse", "2", "--host-after", "2" });
    const std::string registered = "REGISTERED " + m_item + " /StatusNotifierItem";
    EXPECT_EQ(nextEvents(*watcher, 4), (std::vector<std::string> { "REFUSED", "REFUSED", registered, "HOST" }));
    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(nextEvents(*watcher, 0), std::vector<std::string> {}) << "GNOME resets an item registered twice";
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("no status-area host is running"), std::string::npos);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << "one line for the run of refusals:\n" << said;

    // A panel restart: the name loses its owner and gets a new one, which knows nothing.
    watcher.reset();
    watcher = startWatcher();
    EXPECT_EQ(nextEvents(*watcher, 1), std::vector<std::string> { registered });
    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(nextEvents(*watcher, 0), std::vector<std::string> {}) << "one registration per appearance";
}

TEST_F(StatusNotifierItemTest, HostsHearOfChangesOnlyWhileAWatcherRunsAndNeverOfANewTitle)
{
    SignalRecorder signals(m_host.get(), m_item, "/StatusNotifierItem");
    item->setImage(std::make_shared<SolidImage>(0x80402010));
    item->setTitle(" Zelna_Pulse");
    runMainLoopFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(signals.of("NewIcon").empty() && signals.of("XAyatanaNewLabel").empty())
        << "a host that comes reads every property anew";

    auto watcher = startWatcher();
    nextEvents(*watcher, 1);
    item->setTitle(" Zelna_Aria");
    item->setFont(Font { 11.0 });
    for (int time = 0; time < 2; ++time)
        item->setImage(std::make_shared<SolidImage>(0xff0000ff));
    ASSERT_TRUE(runMainLoopUntil([&] { return !signals.of("NewIcon").empty(); }));
    runMainLoopFor(std::chrono::milliseconds(200));
    EXPECT_EQ(signals.of("XAyatanaNewLabel"), std::vector<std::string> { "(' Zelna_Aria', '')" });
    EXPECT_EQ(text("XAyatanaLabel"), " Zelna_Aria");
    EXPECT_EQ(signals.of("NewIcon").size(), 1u) << "the same drawing again changes nothing";
    EXPECT_TRUE(signals.of("NewTitle").empty()) << "the Title property never changes";
}

TEST_F(StatusNotifierItemTest, PropertiesHaveTheTypesHostsExpectAndActivateIsRefused)
{
    const struct {
        const char* name;
        const char* type;
        const char* value; ///< Null when only the type is checked.
    } rows[] = {
        { "Category", "s", "ApplicationStatus" },
        { "Id", "s", "zelnamenu" },
        { "Title", "s", "ZelnaMenu" },
        { "Status", "s", "Active" },
        { "WindowId", "i", "0" },
        { "ItemIsMenu", "b", "true" },
        { "Menu", "o", "objectpath '/MenuBar'" },
        { "IconName", "s", nullptr },
        { "IconThemePath", "s", nullptr },
        { "IconPixmap", "a(iiay)", nullptr },
        { "XAyatanaLabel", "s", "" },
        { "XAyatanaLabelGuide", "s", "" },
        { "ToolTip", "(sa(iiay)ss)", "('', @a(iiay) [], '', '')" },
    };
    for (const auto& row : rows) {
        auto value = property(row.name);
        EXPECT_STREQ(value ? g_variant_get_type_string(value.get()) : "<absent>", row.type) << row.name;
        EXPECT_EQ(row.value ? text(row.name) : "", row.value ? row.value : "") << row.name;
    }
    EXPECT_GT(g_variant_n_children(property("IconPixmap").get()), 0u) << "never an empty icon, even before the first";

    for (const char* method : { "SecondaryActivate", "ContextMenu" })
        EXPECT_TRUE(
            callMethod(m_host.get(), m_item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method, "(12, 16)"))
            << method;
    EXPECT_TRUE(callMethod(
        m_host.get(), m_item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Scroll", "(-120, 'vertical')"));
    // The item is a menu: hosts that call Activate on a left click (Plasma) then open the menu.
    const auto activated
        = callMethod(m_host.get(), m_item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", "(12, 16)");
    EXPECT_NE(activated.error.find("org.freedesktop.DBus.Error.UnknownMethod"), std::string::npos) << activated.text();
}

TEST_F(StatusNotifierItemTest, ImageFillsASquareOfEverySizeHostsDrawInPixmapsAndIconFiles)
{
    // 3 × 2 points: as wide as each square and two thirds as high, centred on it.
    item->setImage(std::make_shared<SolidImage>(0x80402010));
    auto pixmaps = property("IconPixmap");
    std::vector<int> sides;
    for (gsize index = 0; index < g_variant_n_children(pixmaps.get()); ++index) {
        int side = 0, height = 0;
        GVariant* bytesVariant = nullptr;
        g_variant_get_child(pixmaps.get(), index, "(ii@ay)", &side, &height, &bytesVariant);
        GUniquePtr<GVariant> bytesOwner(bytesVariant);
        sides.push_back(side);
        EXPECT_EQ(height, side);
        gsize size = 0;
        const auto* bytes = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytesVariant, &size, 1));
        ASSERT_EQ(size, static_cast<gsize>(4 * side * side));
        const auto pixel = [&](int x, int y) {
            const auto* first = bytes + 4 * (y * side + x);
            return std::vector<std::uint8_t>(first, first + 4);
        };
        EXPECT_EQ(pixel(0, side / 2), (std::vector<std::uint8_t> { 0x80, 0x80, 0x40, 0x20 })) << side;
        EXPECT_EQ(pixel(side - 1, side / 2), pixel(0, side / 2)) << side;
        EXPECT_EQ(pixel(0, 0), std::vector<std::uint8_t>(4, 0)) << side;
    }
    EXPECT_EQ(sides, (std::vector<int> { 16, 22, 24, 32, 44, 48, 64, 96 }));

    // Hosts that read icon names find the same squares in the hicolor layout, or the largest loose.
    const std::string directory = text("IconThemePath");
    const std::string firstName = text("IconName");
    EXPECT_EQ(directory, m_scratch.path() + "/zelnamenu");
    for (const auto& [folder, side] : std::vector<std::pair<std::string, int>> {
             { "", 96 }, { "/hicolor/16x16/apps", 16 }, { "/hicolor/24x24@2/apps", 48 }, { "/hicolor/48x48/apps", 48 } }) {
        GUniquePtr<cairo_surface_t> png(
            cairo_image_surface_create_from_png((directory + folder + "/" + firstName + ".png").c_str()));
        EXPECT_EQ(cairo_image_surface_get_width(png.get()), side) << folder;
        EXPECT_EQ(cairo_image_surface_get_height(png.get()), side) << folder;
    }
    EXPECT_NE(readFile(directory + "/hicolor/index.theme").find("[22x22@2/apps]\nSize=22\nScale=2\n"), std::string::npos);

    item->setImage(std::make_shared<SolidImage>(0x80402010));
    EXPECT_EQ(text("IconName"), firstName) << "the same drawing keeps its files";
    item->setImage(std::make_shared<SolidImage>(0xff0000ff));
    const std::string secondFile = directory + "/hicolor/22x22/apps/" + text("IconName") + ".png";
    EXPECT_NE(text("IconName"), firstName) << "hosts cache icons by name";
    EXPECT_FALSE(std::filesystem::exists(directory + "/hicolor/22x22/apps/" + firstName + ".png"));
    EXPECT_TRUE(std::filesystem::exists(secondFile));
    item.reset();
    EXPECT_FALSE(std::filesystem::exists(secondFile)) << "the item cleans up after itself";
}

TEST_F(StatusNotifierItemTest, WithoutAHostANoticeSaysHowToGetOneOncePerLogin)
{
    const std::string log = m_scratch.path() + "/notifications.log";
    ChildProcess server({ "/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon", "-l", log });
    ASSERT_TRUE(waitForNameOwner(m_host.get(), "org.freedesktop.Notifications"));
    DbusNotifications notifications(m_itemConnection.get());
    const auto notices = [&] {
        const std::string calls = readFile(log);
        int count = 0;
        for (auto at = calls.find("Notify "); at != std::string::npos; at = calls.find("Notify ", at + 1))
            ++count;
        return count;
    };
    const auto lonelyItem = [&](const char* path) {
        return std::make_unique<StatusNotifierItem>(m_itemConnection.get(), nullptr, &notifications,
            std::chrono::milliseconds(300), std::string("/Item") + path, std::string("/Menu") + path);
    };
    auto first = lonelyItem("1");
    ASSERT_TRUE(runMainLoopUntil([&] { return notices() == 1; }));
    EXPECT_NE(readFile(log).find("gnome-shell-extension-appindicator"), std::string::npos) << readFile(log);
    first.reset();
    auto second = lonelyItem("2");
    runMainLoopFor(std::chrono::milliseconds(800));
    EXPECT_EQ(notices(), 1) << "restarted in the same login";

    std::filesystem::remove(m_scratch.path() + "/zelnamenu/no-host-notice");
    auto watcher = startWatcher();
    auto third = lonelyItem("3");
    runMainLoopFor(std::chrono::milliseconds(800));
    EXPECT_EQ(notices(), 1) << "a host came in time";
}
