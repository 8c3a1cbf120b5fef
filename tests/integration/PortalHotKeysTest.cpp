#include "linux/HotKeyBackend.h"
#include "linux/PortalHotKeys.h"
#include "support/Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zelna::test;

namespace {

class PortalHotKeysTest : public testing::Test {
protected:
    void startPortal(std::vector<std::string> argv = {})
    {
        argv.insert(argv.begin(), {"/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_portal.py"});
        portal.reset();
        portal.emplace(argv, std::map<std::string, std::string>{}, true);
        ASSERT_EQ(portal->readLine(), "ready");
    }

    void registerFiveKeys()
    {
        keys.emplace(connection.get());
        EXPECT_EQ(registerFiveHotKeys(*keys, pressed), (std::array<OSStatus, 5>{}));
    }

    /// The portal's next report of a session or a binding.
    nlohmann::json reported() { return nlohmann::json::parse(portal->readLine().value_or("null")); }
    void activate(const char* id)
    {
        GUniquePtr<GVariant> reply(g_dbus_connection_call_sync(
            connection.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.zelna.test.FakePortal", "Activate", g_variant_new("(s)", id), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, nullptr));
        EXPECT_TRUE(reply);
        runMainLoopFor(std::chrono::milliseconds(150));
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect();
    std::optional<ChildProcess> portal;
    std::optional<PortalHotKeys> keys;
    std::vector<std::uint32_t> pressed;
};

} // namespace

TEST_F(PortalHotKeysTest, BindsTheFiveShortcutsInOneSessionAndDeliversActivations)
{
    startPortal();
    registerFiveKeys();
    EXPECT_FALSE(keys->isBound()) << "binding waits for the main loop; start-up is never delayed";
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));

    const auto session = reported()["session"];
    const auto binding = reported();
    EXPECT_EQ(binding["session"], session);
    EXPECT_FALSE(portal->readLine(std::chrono::milliseconds(0))) << "one session, one binding for all five";
    ASSERT_EQ(binding["shortcuts"].size(), 5U);
    for (std::size_t slot = 0; slot < 5; ++slot) {
        const auto& shortcut = binding["shortcuts"][slot];
        EXPECT_EQ(shortcut[0], "slot-" + std::to_string(slot));
        EXPECT_EQ(shortcut[1]["preferred_trigger"], "ALT+" + std::to_string(slot + 1));
        EXPECT_NE(shortcut[1]["description"].get<std::string>().find(std::to_string(slot + 1)), std::string::npos);
    }

    for (const char* id : {"slot-2", "slot-0", "slot-9", "slot-4", "somebody-else", "slot-1", "slot-3"})
        activate(id);
    EXPECT_EQ(pressed, (std::vector<std::uint32_t>{2, 0, 4, 1, 3})) << "unknown shortcuts are ignored";
}

TEST_F(PortalHotKeysTest, RefusalsLeaveTheKeysDeadAndNothingElse)
{
    const std::vector<std::vector<std::string>> refusals = {
        {"--create-response", "1"}, {"--create-response", "2"}, {"--bind-response", "1"}, {"--no-shortcuts"}};
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal[0]);
        startPortal(refusal);
        registerFiveKeys();
        runMainLoopFor(std::chrono::milliseconds(500));
        EXPECT_FALSE(keys->isBound());
        activate("slot-0");
        EXPECT_TRUE(pressed.empty());
        keys.reset();
    }
}

TEST_F(PortalHotKeysTest, BindsAgainWhenThePortalAppearsOrReturns)
{
    registerFiveKeys();
    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_FALSE(keys->isBound()) << "no portal yet";

    startPortal();
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    activate("slot-1");

    ASSERT_TRUE(portal->terminate());
    ASSERT_TRUE(runMainLoopUntil([&] { return !keys->isBound(); }));

    startPortal();
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    reported();
    EXPECT_EQ(reported()["shortcuts"].size(), 5U);
    activate("slot-3");
    EXPECT_EQ(pressed, (std::vector<std::uint32_t>{1, 3}));
}

TEST(HotKeyBackendTest, ChoosesBySessionType)
{
    EXPECT_EQ(chooseHotKeyBackend("x11", "", ":0"), HotKeyBackend::x11);
    EXPECT_EQ(chooseHotKeyBackend("wayland", "wayland-0", ":0"), HotKeyBackend::portal) << "XWayland grabs are dead";
    EXPECT_EQ(chooseHotKeyBackend("", "wayland-0", ""), HotKeyBackend::portal);
    EXPECT_EQ(chooseHotKeyBackend("x11", "wayland-0", ":1"), HotKeyBackend::x11) << "the session type wins";
    EXPECT_EQ(chooseHotKeyBackend("tty", "", ""), HotKeyBackend::none);
}
