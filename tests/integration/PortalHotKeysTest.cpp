// PortalHotKeys against the stand-in GlobalShortcuts portal of tests/support on a private bus.

#include "linux/HotKeyBackend.h"
#include "linux/PortalHotKeys.h"
#include "support/Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zelna::test;

namespace {

class PortalHotKeysTest : public testing::Test {
protected:
    /// The portal, refusing as the options say; it reports each session and binding as a JSON line.
    void startPortal(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_portal.py" });
        portal.reset();
        portal.emplace(options, true);
        ASSERT_EQ(portal->readLine(), "ready");
    }
    void registerFiveKeys() { EXPECT_EQ(registerFiveHotKeys(keys.emplace(connection.get()), pressed), (std::array<OSStatus, 5> {})); }
    nlohmann::json reported() { return nlohmann::json::parse(portal->readLine().value_or("null")); }
    void activate(const std::string& id)
    {
        EXPECT_TRUE(callMethod(connection.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.zelna.test.FakePortal", "Activate", "('" + id + "',)"));
        runMainLoopFor(150ms);
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect();
    std::optional<ChildProcess> portal;
    std::optional<PortalHotKeys> keys;
    std::vector<std::uint32_t> pressed;
};

} // namespace

TEST_F(PortalHotKeysTest, BindsTheFiveShortcutsInOneSessionAndDeliversTheirActivations)
{
    startPortal();
    registerFiveKeys();
    EXPECT_FALSE(keys->isBound()) << "binding waits for the main loop; start-up is never delayed";
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    const auto session = reported()["session"], binding = reported();
    EXPECT_EQ(binding["session"], session);
    EXPECT_FALSE(portal->readLine(0ms)) << "one session, one binding for all five";
    for (std::size_t slot = 0; slot < 5; ++slot)
        EXPECT_EQ(binding["shortcuts"].at(slot)[1]["preferred_trigger"], "ALT+" + std::to_string(slot + 1));
    for (const char* id : { "slot-2", "slot-0", "slot-9", "slot-4", "somebody-else", "slot-1", "slot-3" })
        activate(id);
    EXPECT_EQ(pressed, (std::vector<std::uint32_t> { 2, 0, 4, 1, 3 })) << "unknown shortcuts are ignored";
}

TEST_F(PortalHotKeysTest, RefusalsLeaveTheKeysDeadAndAReturningPortalBindsThemAgain)
{
    for (const auto& refusal : std::vector<std::vector<std::string>> {
             { "--create-response", "1" }, { "--create-response", "2" }, { "--bind-response", "1" }, { "--no-shortcuts" } }) {
        startPortal(refusal);
        registerFiveKeys();
        runMainLoopFor(500ms);
        activate("slot-0");
        EXPECT_TRUE(!keys->isBound() && pressed.empty()) << refusal[0];
    }
    portal.reset();
    registerFiveKeys();
    runMainLoopFor(300ms);
    EXPECT_FALSE(keys->isBound()) << "no portal yet";
    startPortal();
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    ASSERT_TRUE(portal->terminate());
    ASSERT_TRUE(runMainLoopUntil([&] { return !keys->isBound(); }));
    startPortal();
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    activate("slot-3");
    EXPECT_EQ(pressed, std::vector<std::uint32_t> { 3 });
}

TEST(HotKeyBackendTest, TheSessionTypeChoosesTheBackend)
{
    EXPECT_EQ(chooseHotKeyBackend("x11", "", ":0"), HotKeyBackend::x11);
    EXPECT_EQ(chooseHotKeyBackend("wayland", "wayland-0", ":0"), HotKeyBackend::portal) << "XWayland grabs are dead";
    EXPECT_EQ(chooseHotKeyBackend("", "wayland-0", ""), HotKeyBackend::portal);
    EXPECT_EQ(chooseHotKeyBackend("x11", "wayland-0", ":1"), HotKeyBackend::x11) << "the session type wins";
    EXPECT_EQ(chooseHotKeyBackend("tty", "", ""), HotKeyBackend::none);
}
