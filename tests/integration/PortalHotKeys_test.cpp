#include "linux/HotKeyBackend.h"
#include "linux/PortalHotKeys.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>

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
    /// The lines the adapter said on stderr while condition came true.
    static std::string saidUntil(const std::function<bool()>& condition)
    {
        testing::internal::CaptureStderr();
        EXPECT_TRUE(runMainLoopUntil(condition));
        std::string said;
        std::istringstream lines(testing::internal::GetCapturedStderr());
        for (std::string line; std::getline(lines, line);)
            said += line.starts_with("zelnamenu: ") ? line + '\n' : "";
        return said;
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect();
    std::optional<ChildProcess> portal;
    std::optional<PortalHotKeys> keys;
    std::vector<std::uint32_t> pressed;
};

} // namespace

TEST_F(PortalHotKeysTest, BindsTheFiveShortcutsWhereThePortalReadsThemAndDeliversActivations)
{
    for (const bool plasma527 : {false, true}) {
        SCOPED_TRACE(plasma527 ? "the list read from CreateSession" : "the list read from BindShortcuts");
        startPortal(plasma527 ? std::vector<std::string>{"--plasma527"} : std::vector<std::string>{});
        registerFiveKeys();
        EXPECT_FALSE(keys->isBound()) << "binding waits for the main loop; start-up is never delayed";
        EXPECT_EQ(saidUntil([&] { return keys->isBound(); }), "");

        const auto session = reported();
        ASSERT_EQ(session["shortcuts"].size(), 5U);
        for (std::size_t slot = 0; slot < 5; ++slot) {
            const auto& shortcut = session["shortcuts"][slot];
            EXPECT_EQ(shortcut[0], "slot-" + std::to_string(slot));
            EXPECT_EQ(shortcut[1]["preferred_trigger"], "ALT+" + std::to_string(slot + 1));
            EXPECT_NE(shortcut[1]["description"].get<std::string>().find(std::to_string(slot + 1)), std::string::npos);
        }
        if (!plasma527) {
            const auto binding = reported();
            EXPECT_EQ(binding["session"], session["session"]);
            EXPECT_EQ(binding["shortcuts"], session["shortcuts"]);
        }
        EXPECT_FALSE(portal->readLine(std::chrono::milliseconds(0)))
            << "one session; no BindShortcuts where it would only open System Settings";

        pressed.clear();
        for (const char* id : {"slot-2", "slot-0", "slot-9", "slot-4", "somebody-else", "slot-1", "slot-3"})
            activate(id);
        EXPECT_EQ(pressed, (std::vector<std::uint32_t>{2, 0, 4, 1, 3})) << "unknown shortcuts are ignored";
        keys.reset();
    }
}

TEST_F(PortalHotKeysTest, RefusalsAndBindingsWithoutKeysSaySoOnce)
{
    // Whether the session stays, so that keys given later in the desktop's settings reach us.
    const std::vector<std::pair<std::vector<std::string>, bool>> refusals = {{{"--create-response", "1"}, false},
        {{"--create-response", "2"}, false}, {{"--bind-response", "1"}, false}, {{"--no-shortcuts"}, false},
        {{"--bind-nothing"}, true}, {{"--plasma527", "--bind-nothing"}, true},
        {{"--taken", "ALT+1", "ALT+2", "ALT+3", "ALT+4", "ALT+5"}, true}};
    for (const auto& [refusal, keepsSession] : refusals) {
        SCOPED_TRACE(refusal.back());
        pressed.clear();
        startPortal(refusal);
        registerFiveKeys();
        const auto said = saidUntil([&] { return keys->hasGivenUp(); });
        EXPECT_TRUE(said.starts_with("zelnamenu: no global hot keys: ")) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find("gapplication action org.zelna.ZelnaMenu hotkey-1"), std::string::npos) << said;
        activate("slot-0");
        EXPECT_EQ(pressed.size(), keepsSession ? 1U : 0U);
        keys.reset();
    }
}

TEST_F(PortalHotKeysTest, AKeyTheDesktopDoesNotGiveIsNamedAndTheOthersWork)
{
    startPortal({"--taken", "ALT+2", "ALT+4"});
    registerFiveKeys();
    EXPECT_EQ(saidUntil([&] { return keys->isBound(); }),
              "zelnamenu: the desktop gave no key to ALT+2, ALT+4; its shortcut settings can give one\n");
    activate("slot-0");
    EXPECT_EQ(pressed, std::vector<std::uint32_t>{0});
}

TEST_F(PortalHotKeysTest, BindsAgainWithTheSameSessionWhenThePortalAppearsOrReturns)
{
    registerFiveKeys();
    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_FALSE(keys->isBound()) << "no portal yet";

    // The backend of a restarted portal still holds the session it had.
    ScratchDirectory backend;
    const std::vector<std::string> keptSessions = {"--plasma527", "--state", backend.path() + "/sessions"};
    startPortal(keptSessions);
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    const auto session = reported()["session"];
    activate("slot-1");

    ASSERT_TRUE(portal->terminate());
    ASSERT_TRUE(runMainLoopUntil([&] { return !keys->isBound(); }));

    startPortal(keptSessions);
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    const auto refused = reported();
    EXPECT_EQ(refused["session"], session) << "the same token, so the desktop's record of the keys is ours again";
    EXPECT_TRUE(refused["refused"]);
    const auto renewed = reported();
    EXPECT_EQ(renewed["session"], session);
    EXPECT_FALSE(renewed["refused"]);
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
