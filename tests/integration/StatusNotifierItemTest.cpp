// The status item on a private session bus, with the stand-in watcher of tests/support.

#include "linux/StatusNotifierItem.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

namespace {

class StatusNotifierItemTest : public testing::Test {
protected:
    std::map<std::string, std::string> properties()
    {
        return allProperties(host.get(), itemName, "/StatusNotifierItem", "org.kde.StatusNotifierItem");
    }

    ScratchDirectory scratch;
    ScopedEnvironment runtimeDirectory { "XDG_RUNTIME_DIR", scratch.path };
    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect(), host = bus.connect();
    std::string itemName = g_dbus_connection_get_unique_name(connection.get());
    std::unique_ptr<StatusNotifierItem> item = std::make_unique<StatusNotifierItem>(connection.get(), nullptr);
};

} // namespace

TEST_F(StatusNotifierItemTest, RegistersWithEveryWatcherThatAppearsAndShowsWhatHostsReadImageTitleAndIconFileIncluded)
{
    // A panel restart: the name loses its owner and gets a new one, which knows nothing.
    for (int appearance = 0; appearance < 2; ++appearance) {
        ChildProcess watcher({ "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_status_watcher.py" }, true);
        std::vector<std::string> registrations;
        const auto registered = [&] {
            while (auto line = watcher.readLine(0ms))
                if (line->starts_with("REGISTERED "))
                    registrations.push_back(line->substr(line->find(' ', 11) + 1));
            return registrations;
        };
        runMainLoopUntil([&] { return !registered().empty(); });
        runMainLoopFor(300ms);
        EXPECT_EQ(registered(), std::vector<std::string> { itemName + " /StatusNotifierItem" }) << "once each time";
    }
    // The interface's contract, once: values printed with their D-Bus types.
    auto all = properties();
    for (const auto& [property, value] : std::map<std::string, std::string> { { "Category", "'ApplicationStatus'" },
             { "Id", "'zelnamenu'" }, { "Title", "'ZelnaMenu'" }, { "Status", "'Active'" }, { "WindowId", "0" },
             { "ItemIsMenu", "true" }, { "Menu", "objectpath '/MenuBar'" }, { "XAyatanaLabel", "''" },
             { "XAyatanaLabelGuide", "''" }, { "ToolTip", "('', @a(iiay) [], '', '')" } })
        EXPECT_EQ(all[property], value) << property;
    EXPECT_TRUE(all["IconPixmap"].starts_with("[(1, 1, ")) << "never empty, not even before the first image";
    SignalRecorder signals(host.get(), itemName, "/StatusNotifierItem");
    // 1 × 2 points of premultiplied 0x80402010: 1 × 2 and 2 × 4 pixels centred on 2 × 2 and 4 × 4 squares.
    item->setImage(std::make_shared<SolidImage>(Size { 1, 2 }, 0x80402010));
    const std::string pixel = "0x80, 0x80, 0x40, 0x20", clear = "0x00, 0x00, 0x00, 0x00";
    EXPECT_TRUE(properties()["IconPixmap"].starts_with(
        "[(2, 2, [byte " + pixel + ", " + clear + ", " + pixel + ", " + clear + "]), (4, 4, [" + clear + ", " + pixel))
        << properties()["IconPixmap"];
    // Hosts that read only icon names get a PNG in the runtime folder, named anew for every new image.
    const auto iconFile = [&] {
        auto all = properties();
        const auto text = [&](const char* name) { return all[name].substr(1, all[name].size() - 2); }; // unquoted
        return text("IconThemePath") + "/" + text("IconName") + ".png";
    };
    const std::string first = iconFile();
    EXPECT_TRUE(first.starts_with(scratch.path.string() + "/zelnamenu/") && std::filesystem::exists(first)) << first;
    item->setImage(std::make_shared<SolidImage>(Size { 1, 2 }, 0x80402010)); // every rebuild draws the same again
    item->setImage(std::make_shared<SolidImage>(Size { 1, 2 }, 0xff0000ff));
    item->setTitle(" Zelna_Pulse");
    item->setTitle(" Zelna_Pulse");
    EXPECT_EQ(properties()["XAyatanaLabel"], "' Zelna_Pulse'");
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("XAyatanaNewLabel").size() == 1; }));
    EXPECT_EQ(signals.of("NewIcon").size(), 2U);
    EXPECT_EQ(signals.of("XAyatanaNewLabel"), std::vector<std::string> { "XAyatanaNewLabel(' Zelna_Pulse', '')" });
    const std::string second = iconFile();
    EXPECT_TRUE(second != first && !std::filesystem::exists(first)) << "hosts cache icons by name";
    item.reset();
    EXPECT_FALSE(std::filesystem::exists(second)) << "the item cleans up after itself";
}
