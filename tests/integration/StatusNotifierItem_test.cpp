// The status item against a fake status-area watcher on a private session bus.

#include "linux/StatusNotifierItem.h"
#include "support/DbusCalls.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

using namespace zelna::test;

namespace {

constexpr const char* itemPath = "/StatusNotifierItem";
constexpr const char* itemInterface = "org.kde.StatusNotifierItem";

/// Owns org.kde.StatusNotifierWatcher and records who registered what, as a panel does.
class FakeStatusNotifierWatcher {
public:
    explicit FakeStatusNotifierWatcher(GDBusConnection* connection)
        : m_connection(GRefPtr<GDBusConnection>::share(connection))
        , m_nodeInfo(g_dbus_node_info_new_for_xml(R"XML(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  </interface>
</node>)XML",
              nullptr))
    {
        static const GDBusInterfaceVTable vtable
            = { [](GDBusConnection*, const char* sender, const char*, const char*, const char*, GVariant* parameters,
                    GDBusMethodInvocation* invocation, void* userData) {
                   const char* service = nullptr;
                   g_variant_get(parameters, "(&s)", &service);
                   static_cast<FakeStatusNotifierWatcher*>(userData)->registrations.emplace_back(sender, service);
                   g_dbus_method_invocation_return_value(invocation, nullptr);
               },
                  nullptr, nullptr, {} };
        m_objectId = g_dbus_connection_register_object(
            connection, "/StatusNotifierWatcher", m_nodeInfo->interfaces[0], &vtable, this, nullptr, nullptr);
        m_ownerId = g_bus_own_name_on_connection(
            connection, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
            [](GDBusConnection*, const char*, void* userData) {
                static_cast<FakeStatusNotifierWatcher*>(userData)->m_ownsName = true;
            },
            nullptr, this, nullptr);
        EXPECT_TRUE(runMainLoopUntil([this] { return m_ownsName; }));
    }
    ~FakeStatusNotifierWatcher()
    {
        g_bus_unown_name(m_ownerId);
        g_dbus_connection_unregister_object(m_connection.get(), m_objectId);
    }

    /// (sender, argument) of each RegisterStatusNotifierItem call.
    std::vector<std::pair<std::string, std::string>> registrations;

private:
    GRefPtr<GDBusConnection> m_connection;
    GUniquePtr<GDBusNodeInfo> m_nodeInfo;
    unsigned m_objectId = 0;
    unsigned m_ownerId = 0;
    bool m_ownsName = false;
};

/// An image of one premultiplied colour, rasterised like the real one (size × scale, rounded up).
class SolidImage : public Image {
public:
    SolidImage(Size size, std::uint32_t colour)
        : m_size(size)
        , m_colour(colour)
    { }
    Size size() const override { return m_size; }
    bool isTemplate() const override { return false; }
    void setTemplate(bool) override { }
    Bitmap rasterize(double scale) const override
    {
        const int width = static_cast<int>(std::ceil(m_size.width * scale));
        const int height = static_cast<int>(std::ceil(m_size.height * scale));
        return { width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height), m_colour) };
    }

private:
    Size m_size;
    std::uint32_t m_colour;
};

class NoTarget : public ActionTarget {
public:
    bool respondsTo(std::string_view) const override { return false; }
    void perform(std::string_view, MenuItem&) override { }
};

class StatusNotifierItemTest : public ::testing::Test {
protected:
    StatusNotifierItemTest()
        : m_runtimeDirectory("XDG_RUNTIME_DIR", m_scratch.path())
        , m_itemConnection(m_bus.connect())
        , m_hostConnection(m_bus.connect())
        , m_item(uniqueName(m_itemConnection.get()))
    { }

    std::unique_ptr<StatusNotifierItem> makeItem()
    {
        return std::make_unique<StatusNotifierItem>(m_itemConnection.get(), std::make_shared<NoTarget>());
    }

    GUniquePtr<GVariant> properties() { return allProperties(m_hostConnection.get(), m_item, itemPath, itemInterface); }

    std::string property(const char* name)
    {
        auto all = properties();
        GUniquePtr<GVariant> value(all ? g_variant_lookup_value(all.get(), name, nullptr) : nullptr);
        if (!value)
            return "<absent>";
        GUniquePtr<gchar> text(g_variant_print(value.get(), TRUE));
        return text.get();
    }

    std::string stringProperty(const char* name)
    {
        auto all = properties();
        const char* value = nullptr;
        return all && g_variant_lookup(all.get(), name, "&s", &value) ? value : "<absent>";
    }

    ScratchDirectory m_scratch;
    ScopedEnvironment m_runtimeDirectory;
    PrivateSessionBus m_bus;
    GRefPtr<GDBusConnection> m_itemConnection;
    GRefPtr<GDBusConnection> m_hostConnection;
    std::string m_item;
};

} // namespace

TEST(IconPixmapTest, SquareCanvasCentresTheImageOnTransparency)
{
    const Bitmap wide { 4, 2, { 1, 2, 3, 4, 5, 6, 7, 8 } };
    const Bitmap square = squareCanvas(wide);
    EXPECT_EQ(square.width, 4);
    EXPECT_EQ(square.height, 4);
    EXPECT_EQ(square.pixels, (std::vector<std::uint32_t> { 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0 }));

    const Bitmap tall { 1, 3, { 1, 2, 3 } };
    EXPECT_EQ(squareCanvas(tall).pixels, (std::vector<std::uint32_t> { 0, 1, 0, 0, 2, 0, 0, 3, 0 }));

    const Bitmap empty = squareCanvas({});
    EXPECT_EQ(empty.width, 1);
    EXPECT_EQ(empty.pixels, std::vector<std::uint32_t> { 0 }) << "hosts reject an empty icon";
}

TEST(IconPixmapTest, PixelsAreStraightArgbInNetworkOrder)
{
    // Premultiplied: half-transparent, opaque, fully transparent with stray colour, faint.
    const Bitmap bitmap { 2, 2, { 0x80402010, 0xff112233, 0x00ffffff, 0x01010101 } };
    const IconPixmap pixmap = iconPixmap(bitmap);
    EXPECT_EQ(pixmap.width, 2);
    EXPECT_EQ(pixmap.height, 2);
    ASSERT_EQ(pixmap.argb.size(), 4u * 2 * 2) << "no row padding";
    EXPECT_EQ(pixmap.argb,
        (std::vector<std::uint8_t> {
            0x80, 0x80, 0x40, 0x20, 0xff, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0x01, 0xff, 0xff, 0xff }));
}

TEST_F(StatusNotifierItemTest, RegistersByPathWithTheWatcher)
{
    FakeStatusNotifierWatcher watcher(m_hostConnection.get());
    auto item = makeItem();
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations.empty(); }));
    runMainLoopFor(std::chrono::milliseconds(100));
    ASSERT_EQ(watcher.registrations.size(), 1u);
    EXPECT_EQ(watcher.registrations[0].first, m_item) << "the host takes the sender as the service";
    EXPECT_EQ(watcher.registrations[0].second, itemPath);
}

TEST_F(StatusNotifierItemTest, WaitsForAWatcherAndRegistersAgainWheneverItReturns)
{
    testing::internal::CaptureStderr();
    auto item = makeItem();
    runMainLoopFor(std::chrono::milliseconds(200));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("no status-area host is running"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;

    auto watcher = std::make_unique<FakeStatusNotifierWatcher>(m_hostConnection.get());
    ASSERT_TRUE(runMainLoopUntil([&] { return watcher->registrations.size() == 1; }));

    // A panel restart: the name loses its owner and gets a new one, which knows nothing.
    watcher.reset();
    runMainLoopFor(std::chrono::milliseconds(100));
    auto otherHostConnection = m_bus.connect();
    watcher = std::make_unique<FakeStatusNotifierWatcher>(otherHostConnection.get());
    ASSERT_TRUE(runMainLoopUntil([&] { return watcher->registrations.size() == 1; }));
    runMainLoopFor(std::chrono::milliseconds(200));
    EXPECT_EQ(watcher->registrations.size(), 1u) << "one registration per appearance";
    EXPECT_EQ(watcher->registrations[0].second, itemPath);
}

TEST_F(StatusNotifierItemTest, PropertiesHaveTheTypesHostsExpect)
{
    auto item = makeItem();
    auto all = properties();
    ASSERT_TRUE(all);
    const struct {
        const char* name;
        const char* type;
        const char* value; ///< Printed without types; null when only the type is checked.
    } rows[] = {
        { "Category", "s", "'ApplicationStatus'" },
        { "Id", "s", "'zelnamenu'" },
        { "Title", "s", "'ZelnaMenu'" },
        { "Status", "s", "'Active'" },
        { "WindowId", "i", "0" },
        { "ItemIsMenu", "b", "true" },
        { "Menu", "o", "'/MenuBar'" },
        { "IconName", "s", nullptr },
        { "IconThemePath", "s", nullptr },
        { "IconPixmap", "a(iiay)", nullptr },
        { "XAyatanaLabel", "s", "''" },
        { "XAyatanaLabelGuide", "s", "''" },
        { "ToolTip", "(sa(iiay)ss)", "('', [], '', '')" },
    };
    for (const auto& row : rows) {
        GUniquePtr<GVariant> value(g_variant_lookup_value(all.get(), row.name, nullptr));
        ASSERT_TRUE(value) << row.name;
        EXPECT_STREQ(g_variant_get_type_string(value.get()), row.type) << row.name;
        if (row.value) {
            GUniquePtr<gchar> printed(g_variant_print(value.get(), FALSE));
            EXPECT_STREQ(printed.get(), row.value) << row.name;
        }
    }
    GUniquePtr<GVariant> pixmaps(g_variant_lookup_value(all.get(), "IconPixmap", nullptr));
    EXPECT_GT(g_variant_n_children(pixmaps.get()), 0u) << "never an empty icon, even before the first image";

    for (const char* method : { "Activate", "SecondaryActivate", "ContextMenu" }) {
        auto reply = callMethod(
            m_hostConnection.get(), m_item, itemPath, itemInterface, method, g_variant_new("(ii)", 12, 16));
        EXPECT_TRUE(reply) << method << ": " << reply.error;
    }
    auto scroll = callMethod(
        m_hostConnection.get(), m_item, itemPath, itemInterface, "Scroll", g_variant_new("(is)", -120, "vertical"));
    EXPECT_TRUE(scroll) << scroll.error;
}

TEST_F(StatusNotifierItemTest, ImageIsExportedSquareAsPixmapsAndAsAnIconFile)
{
    SignalRecorder signals(m_hostConnection.get(), m_item, itemPath);
    auto item = makeItem();
    // 3 × 2 points: 3 × 2 and 6 × 4 pixels before squaring.
    item->button()->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0x80402010));

    auto all = properties();
    ASSERT_TRUE(all);
    GUniquePtr<GVariant> pixmaps(g_variant_lookup_value(all.get(), "IconPixmap", nullptr));
    ASSERT_EQ(g_variant_n_children(pixmaps.get()), 2u);
    const int expectedSides[] = { 3, 6 };
    for (gsize index = 0; index < 2; ++index) {
        int width = 0;
        int height = 0;
        GVariant* bytesVariant = nullptr;
        g_variant_get_child(pixmaps.get(), index, "(ii@ay)", &width, &height, &bytesVariant);
        GUniquePtr<GVariant> bytesOwner(bytesVariant);
        EXPECT_EQ(width, expectedSides[index]);
        EXPECT_EQ(height, expectedSides[index]);
        gsize size = 0;
        const auto* bytes = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytesVariant, &size, 1));
        ASSERT_EQ(size, static_cast<gsize>(4 * width * height));
        // The 6 × 4 image sits one row down on its 6 × 6 canvas; the 3 × 2 one at the top.
        const std::size_t firstImageRow = index == 0 ? 0 : 1;
        const std::size_t rowBytes = static_cast<std::size_t>(4 * width);
        EXPECT_EQ(std::vector<std::uint8_t>(bytes + firstImageRow * rowBytes, bytes + firstImageRow * rowBytes + 4),
            (std::vector<std::uint8_t> { 0x80, 0x80, 0x40, 0x20 }));
        EXPECT_EQ(
            std::vector<std::uint8_t>(bytes + size - 4, bytes + size), (std::vector<std::uint8_t> { 0, 0, 0, 0 }));
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.count("NewIcon") == 1; }));

    const std::string directory = stringProperty("IconThemePath");
    const std::string firstName = stringProperty("IconName");
    EXPECT_EQ(directory, m_scratch.path() + "/zelnamenu");
    const std::string firstFile = directory + "/" + firstName + ".png";
    {
        GUniquePtr<cairo_surface_t> png(cairo_image_surface_create_from_png(firstFile.c_str()));
        ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS) << firstFile;
        EXPECT_EQ(cairo_image_surface_get_width(png.get()), 6);
        EXPECT_EQ(cairo_image_surface_get_height(png.get()), 6);
    }

    // The same drawing again (every menu rebuild draws one) changes nothing.
    item->button()->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0x80402010));
    runMainLoopFor(std::chrono::milliseconds(100));
    EXPECT_EQ(signals.count("NewIcon"), 1u);
    EXPECT_EQ(stringProperty("IconName"), firstName);

    item->button()->setImage(std::make_shared<SolidImage>(Size { 3, 2 }, 0xff0000ff));
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.count("NewIcon") == 2; }));
    const std::string secondName = stringProperty("IconName");
    EXPECT_NE(secondName, firstName) << "hosts cache icons by name";
    EXPECT_FALSE(std::filesystem::exists(firstFile));
    EXPECT_TRUE(std::filesystem::exists(directory + "/" + secondName + ".png"));

    item.reset();
    EXPECT_FALSE(std::filesystem::exists(directory + "/" + secondName + ".png")) << "the item cleans up after itself";
}

TEST_F(StatusNotifierItemTest, TitleIsTheAyatanaLabel)
{
    SignalRecorder signals(m_hostConnection.get(), m_item, itemPath);
    auto item = makeItem();
    item->button()->setTitle(" Zelna_Pulse");
    item->button()->setFont(Font { 11.0 });

    EXPECT_EQ(stringProperty("XAyatanaLabel"), " Zelna_Pulse");
    EXPECT_EQ(stringProperty("Title"), "ZelnaMenu");
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.count("XAyatanaNewLabel") == 1; }));
    GUniquePtr<gchar> label(g_variant_print(signals.last("XAyatanaNewLabel"), FALSE));
    EXPECT_STREQ(label.get(), "(' Zelna_Pulse', '')");
    EXPECT_EQ(signals.count("NewTitle"), 1u);

    item->button()->setTitle(" Zelna_Pulse");
    item->button()->setTitle("");
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.count("XAyatanaNewLabel") == 2; }));
    EXPECT_EQ(stringProperty("XAyatanaLabel"), "");
}
