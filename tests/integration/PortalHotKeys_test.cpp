#include "linux/HotKeyBackend.h"
#include "linux/PortalHotKeys.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace zelna::test;

namespace {

constexpr std::array<std::uint32_t, 5> keyCodes = {18, 19, 20, 21, 23};

class PortalHotKeysTest : public testing::Test {
protected:
    void startPortal(std::vector<std::string> options = {})
    {
        std::vector<std::string> argv = {"/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_portal.py"};
        argv.insert(argv.end(), options.begin(), options.end());
        portal.reset();
        portal.emplace(argv, std::map<std::string, std::string>{}, true);
        ASSERT_EQ(portal->readLine(), "ready");
    }

    void registerFiveKeys()
    {
        keys.emplace(connection.get());
        const EventTypeSpec type{kEventClassKeyboard, kEventHotKeyPressed};
        keys->installEventHandler(keys->getApplicationEventTarget(), recordHotKeyPress, 1, &type, &pressed, nullptr);
        for (std::uint32_t slot = 0; slot < 5; ++slot) {
            EventHotKeyRef ref = nullptr;
            EXPECT_EQ(keys->registerEventHotKey(keyCodes[slot], optionKey, {fourCharCode("ZELN"), slot},
                                                keys->getApplicationEventTarget(), 0, &ref),
                      noErr);
            EXPECT_NE(ref, nullptr);
        }
    }

    GUniquePtr<GVariant> control(const char* method, GVariant* parameters = nullptr)
    {
        GUniqueOutPtr<GError> error;
        GUniquePtr<GVariant> reply(g_dbus_connection_call_sync(
            controller.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.zelna.test.FakePortal", method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
            &error.outPtr()));
        EXPECT_TRUE(reply) << errorMessage(error.get());
        return reply;
    }
    nlohmann::json bound()
    {
        auto reply = control("Bound");
        const gchar* text = nullptr;
        g_variant_get(reply.get(), "(&s)", &text);
        return nlohmann::json::parse(text);
    }
    void activate(const char* id)
    {
        control("Activate", g_variant_new("(s)", id));
        runMainLoopFor(std::chrono::milliseconds(150));
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect();
    GRefPtr<GDBusConnection> controller = bus.connect();
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

    const auto state = bound();
    ASSERT_EQ(state["sessions"].size(), 1U);
    ASSERT_EQ(state["bound"].size(), 1U) << "one BindShortcuts call for all five";
    const auto& binding = state["bound"][0];
    EXPECT_EQ(binding["session"], state["sessions"][0]);
    EXPECT_EQ(binding["parent_window"], "");
    ASSERT_EQ(binding["shortcuts"].size(), 5U);
    for (std::size_t slot = 0; slot < 5; ++slot) {
        const auto& shortcut = binding["shortcuts"][slot];
        EXPECT_EQ(shortcut[0], "slot-" + std::to_string(slot));
        EXPECT_EQ(shortcut[1]["preferred_trigger"], "ALT+" + std::to_string(slot + 1));
        EXPECT_NE(shortcut[1]["description"].get<std::string>().find(std::to_string(slot + 1)), std::string::npos);
    }

    for (const char* id : {"slot-2", "slot-0", "slot-4", "slot-1", "slot-3"})
        activate(id);
    EXPECT_EQ(pressed, (std::vector<std::uint32_t>{2, 0, 4, 1, 3}));

    activate("slot-9");
    activate("somebody-else");
    control("ActivateFor", g_variant_new("(os)", "/org/freedesktop/portal/desktop/session/x/other", "slot-0"));
    runMainLoopFor(std::chrono::milliseconds(150));
    EXPECT_EQ(pressed.size(), 5U) << "unknown shortcuts and other sessions are ignored";
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
    EXPECT_EQ(bound()["bound"][0]["shortcuts"].size(), 5U);
    activate("slot-3");
    EXPECT_EQ(pressed, (std::vector<std::uint32_t>{1, 3}));
}

TEST(PortalTriggerTest, NamesNumberRowKeysWithTheirModifiers)
{
    EXPECT_EQ(portalTrigger(18, optionKey), "ALT+1");
    EXPECT_EQ(portalTrigger(23, optionKey), "ALT+5");
    EXPECT_EQ(portalTrigger(22, optionKey), "ALT+6");
    EXPECT_EQ(portalTrigger(18, controlKey | optionKey | shiftKey), "CTRL+ALT+SHIFT+1");
    EXPECT_EQ(portalTrigger(18, 0), "1");
    EXPECT_FALSE(portalTrigger(0, optionKey)) << "not a number-row key";
    EXPECT_FALSE(portalTrigger(18, 0x10000)) << "an unknown modifier";
}

TEST(HotKeyBackendTest, ChoosesBySessionType)
{
    EXPECT_EQ(chooseHotKeyBackend("x11", "", ":0"), HotKeyBackend::x11);
    EXPECT_EQ(chooseHotKeyBackend("", "", ":0"), HotKeyBackend::x11);
    EXPECT_EQ(chooseHotKeyBackend("wayland", "wayland-0", ":0"), HotKeyBackend::portal) << "XWayland grabs are dead";
    EXPECT_EQ(chooseHotKeyBackend("", "wayland-0", ""), HotKeyBackend::portal);
    EXPECT_EQ(chooseHotKeyBackend("x11", "wayland-0", ":1"), HotKeyBackend::x11) << "the session type wins";
    EXPECT_EQ(chooseHotKeyBackend("tty", "", ""), HotKeyBackend::none);
}
