// The status item against a fake status-area watcher on a private session bus.

#include "linux/StatusNotifierItem.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace zelna::test;

namespace {

/// Owns org.kde.StatusNotifierWatcher and records who registered what, as a panel does.
class FakeStatusNotifierWatcher {
public:
    explicit FakeStatusNotifierWatcher(GDBusConnection* connection)
        : m_connection(GRefPtr<GDBusConnection>::share(connection))
        , m_nodeInfo(g_dbus_node_info_new_for_xml(R"(<node><interface name="org.kde.StatusNotifierWatcher">
            <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
            </interface></node>)",
              nullptr))
    {
        static const GDBusInterfaceVTable vtable
            = { [](GDBusConnection*, const char* sender, const char*, const char*, const char*, GVariant* parameters,
                    GDBusMethodInvocation* invocation, void* userData) {
                   const char* service = nullptr;
                   g_variant_get(parameters, "(&s)", &service);
                   static_cast<FakeStatusNotifierWatcher*>(userData)->registrations.push_back(
                       std::string(sender) + " " + service);
                   g_dbus_method_invocation_return_value(invocation, nullptr);
               },
                  nullptr, nullptr, {} };
        m_objectId = g_dbus_connection_register_object(
            connection, "/StatusNotifierWatcher", m_nodeInfo->interfaces[0], &vtable, this, nullptr, nullptr);
        m_ownerId = g_bus_own_name_on_connection(connection, "org.kde.StatusNotifierWatcher",
            G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr, nullptr);
        EXPECT_TRUE(waitForNameOwner(connection, "org.kde.StatusNotifierWatcher"));
    }
    ~FakeStatusNotifierWatcher()
    {
        g_bus_unown_name(m_ownerId);
        g_dbus_connection_unregister_object(m_connection.get(), m_objectId);
    }

    std::vector<std::string> registrations; ///< "sender service" of each registration.

private:
    GRefPtr<GDBusConnection> m_connection;
    GUniquePtr<GDBusNodeInfo> m_nodeInfo;
    unsigned m_objectId = 0;
    unsigned m_ownerId = 0;
};

/// An image of one premultiplied colour, rasterised like the real one (size × scale, rounded up).
struct LocalSolidImage : Image {
    LocalSolidImage(std::uint32_t colour)
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

    ScratchDirectory m_scratch;
    ScopedEnvironment m_runtimeDirectory { "XDG_RUNTIME_DIR", m_scratch.path() };
    PrivateSessionBus m_bus;
    GRefPtr<GDBusConnection> m_itemConnection = m_bus.connect();
    GRefPtr<GDBusConnection> m_host = m_bus.connect();
    std::string m_item = g_dbus_connection_get_unique_name(m_itemConnection.get());
    std::unique_ptr<StatusNotifierItem> item = std::make_unique<StatusNotifierItem>(m_itemConnection.get(), nullptr);
};

} // namespace

TEST(IconPixmapTest, SquareCanvasCentresTheImageAndPixelsAreStraightArgbInNetworkOrder)
{
    // A wide one is squared in the test of the exported image.
    EXPECT_EQ(squareCanvas({ 1, 3, { 1, 2, 3 } }).pixels, (std::vector<std::uint32_t> { 0, 1, 0, 0, 2, 0, 0, 3, 0 }));
    EXPECT_EQ(squareCanvas({}).pixels, std::vector<std::uint32_t> { 0 }) << "hosts reject an empty icon";

    // Premultiplied: half-transparent, opaque, fully transparent with stray colour, faint.
    const IconPixmap pixmap = iconPixmap({ 2, 2, { 0x80402010, 0xff112233, 0x00ffffff, 0x01010101 } });
    EXPECT_EQ(pixmap.width, 2);
    EXPECT_EQ(pixmap.argb,
        (std::vector<std::uint8_t> {
            0x80, 0x80, 0x40, 0x20, 0xff, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0x01, 0xff, 0xff, 0xff }));
}

TEST_F(StatusNotifierItemTest, RegistersByPathWhenAWatcherAppearsAndAgainWheneverItReturns)
{
    testing::internal::CaptureStderr();
    runMainLoopFor(std::chrono::milliseconds(200));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "zelnamenu: no status-area host is running; the status item appears when one starts\n");

    auto watcher = std::make_unique<FakeStatusNotifierWatcher>(m_host.get());
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher->registrations.empty(); }));
    // The host takes the sender as the service.
    EXPECT_EQ(watcher->registrations, std::vector<std::string> { m_item + " /StatusNotifierItem" });

    // A panel restart: the name loses its owner and gets a new one, which knows nothing.
    watcher.reset();
    runMainLoopFor(std::chrono::milliseconds(100));
    auto otherHost = m_bus.connect();
    watcher = std::make_unique<FakeStatusNotifierWatcher>(otherHost.get());
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher->registrations.empty(); }));
    runMainLoopFor(std::chrono::milliseconds(200));
    EXPECT_EQ(watcher->registrations, std::vector<std::string> { m_item + " /StatusNotifierItem" })
        << "one registration per appearance";
}

TEST_F(StatusNotifierItemTest, PropertiesHaveTheTypesHostsExpectAndMethodsAnswer)
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

    for (const char* method : { "Activate", "SecondaryActivate", "ContextMenu" })
        EXPECT_TRUE(
            callMethod(m_host.get(), m_item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method, "(12, 16)"))
            << method;
    EXPECT_TRUE(callMethod(
        m_host.get(), m_item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Scroll", "(-120, 'vertical')"));
}

TEST_F(StatusNotifierItemTest, ImageIsExportedSquareAsPixmapsAndAsAnIconFile)
{
    SignalRecorder signals(m_host.get(), m_item, "/StatusNotifierItem");
    // 3 × 2 points: 3 × 2 and 6 × 4 pixels before squaring; the 6 × 4 one sits a row down.
    item->setImage(std::make_shared<LocalSolidImage>(0x80402010));
    auto pixmaps = property("IconPixmap");
    ASSERT_EQ(g_variant_n_children(pixmaps.get()), 2u);
    for (gsize index = 0; index < 2; ++index) {
        int side = 0, height = 0;
        GVariant* bytesVariant = nullptr;
        g_variant_get_child(pixmaps.get(), index, "(ii@ay)", &side, &height, &bytesVariant);
        GUniquePtr<GVariant> bytesOwner(bytesVariant);
        EXPECT_EQ(side, index == 0 ? 3 : 6);
        EXPECT_EQ(height, side);
        gsize size = 0;
        const auto* bytes = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytesVariant, &size, 1));
        ASSERT_EQ(size, static_cast<gsize>(4 * side * side));
        const gsize firstPixel = index == 0 ? 0 : 4 * 6;
        EXPECT_EQ(std::vector<std::uint8_t>(bytes + firstPixel, bytes + firstPixel + 4),
            (std::vector<std::uint8_t> { 0x80, 0x80, 0x40, 0x20 }));
        EXPECT_EQ(std::vector<std::uint8_t>(bytes + size - 4, bytes + size), std::vector<std::uint8_t>(4, 0));
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("NewIcon").size() == 1; }));

    const std::string directory = text("IconThemePath");
    const std::string firstFile = directory + "/" + text("IconName") + ".png";
    EXPECT_EQ(directory, m_scratch.path() + "/zelnamenu");
    GUniquePtr<cairo_surface_t> png(cairo_image_surface_create_from_png(firstFile.c_str()));
    EXPECT_EQ(cairo_image_surface_get_width(png.get()), 6) << firstFile;
    EXPECT_EQ(cairo_image_surface_get_height(png.get()), 6);

    // The same drawing again (every menu rebuild draws one) changes nothing.
    item->setImage(std::make_shared<LocalSolidImage>(0x80402010));
    runMainLoopFor(std::chrono::milliseconds(100));
    EXPECT_EQ(signals.of("NewIcon").size(), 1u);
    EXPECT_EQ(directory + "/" + text("IconName") + ".png", firstFile);

    item->setImage(std::make_shared<LocalSolidImage>(0xff0000ff));
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("NewIcon").size() == 2; }));
    const std::string secondFile = directory + "/" + text("IconName") + ".png";
    EXPECT_NE(secondFile, firstFile) << "hosts cache icons by name";
    EXPECT_FALSE(std::filesystem::exists(firstFile));
    EXPECT_TRUE(std::filesystem::exists(secondFile));
    item.reset();
    EXPECT_FALSE(std::filesystem::exists(secondFile)) << "the item cleans up after itself";
}

TEST_F(StatusNotifierItemTest, TitleIsTheAyatanaLabel)
{
    SignalRecorder signals(m_host.get(), m_item, "/StatusNotifierItem");
    item->setTitle(" Zelna_Pulse");
    item->setFont(Font { 11.0 });
    EXPECT_EQ(text("XAyatanaLabel"), " Zelna_Pulse");
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("XAyatanaNewLabel").size() == 1; }));
    EXPECT_EQ(signals.of("XAyatanaNewLabel")[0], "(' Zelna_Pulse', '')");
    EXPECT_EQ(signals.of("NewTitle").size(), 1u);

    item->setTitle(" Zelna_Pulse");
    item->setTitle("");
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("XAyatanaNewLabel").size() == 2; }));
    EXPECT_EQ(text("XAyatanaLabel"), "");
}
