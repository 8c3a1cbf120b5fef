// PortalHotKeys against tests/support/fake_portal.py, which answers in the shapes the real portals do.

#include "linux/PortalHotKeys.h"
#include "support/Harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using namespace zelna::test;

namespace {

class PortalHotKeysTest : public testing::Test {
protected:
    void startPortal(std::vector<std::string> options = {})
    {
        options.insert(options.begin(), { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/fake_portal.py" });
        portal.reset();
        portal.emplace(options, true);
        ASSERT_EQ(portal->readLine(), "ready");
    }
    void registerFiveKeys()
    {
        keys.emplace(connection.get());
        EXPECT_EQ(registerFiveHotKeys(*keys, pressed), (std::array<OSStatus, 5> {}));
    }
    /// The portal's next report of a session or a binding.
    nlohmann::json reported() { return nlohmann::json::parse(portal->readLine().value_or("null")); }
    /// Activations in order, then a moment for them to arrive.
    void activate(std::initializer_list<const char*> ids)
    {
        for (const char* id : ids)
            EXPECT_TRUE(callMethod(connection.get(), "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                "org.zelna.test.FakePortal", "Activate", std::string("('") + id + "',)"));
        runMainLoopFor(150ms);
    }
    /// The adapter's lines on stderr while condition came true.
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

TEST_F(PortalHotKeysTest, BindsTheFiveShortcutsWhereThePortalReadsThemAndSaysRefusalsInOneLine)
{
    // What is said ("" for nothing), and whether the keys work (the session stays, so keys given later
    // in the desktop's settings reach the program). Plasma 5.27's portal reads the list from
    // CreateSession; BindShortcuts there would only open System Settings.
    const std::vector<std::tuple<std::vector<std::string>, std::string, bool>> rows = {
        { {}, "", true }, { { "--plasma527" }, "", true },
        { { "--create-response", "1" }, "no global hot keys: ", false },
        { { "--create-response", "2" }, "no global hot keys: ", false },
        { { "--bind-response", "1" }, "no global hot keys: ", false },
        { { "--no-shortcuts" }, "no global hot keys: ", false },
        { { "--bind-nothing" }, "no global hot keys: ", true },
        { { "--plasma527", "--bind-nothing" }, "no global hot keys: ", true },
        { { "--taken", "ALT+1", "ALT+2", "ALT+3", "ALT+4", "ALT+5" }, "no global hot keys: ", true },
        { { "--taken", "ALT+2", "ALT+4" }, "the desktop gave no key to ALT+2, ALT+4; its shortcut settings", true },
    };
    for (const auto& [options, line, worksStill] : rows) {
        SCOPED_TRACE(options.empty() ? "" : options.back());
        startPortal(options);
        registerFiveKeys();
        EXPECT_FALSE(keys->isBound()) << "binding waits for the main loop; start-up is never delayed";
        const auto said = saidUntil([&] { return keys->hasGivenUp() || keys->isBound(); });
        EXPECT_TRUE(said.starts_with(line.empty() ? "" : "zelnamenu: " + line)) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), line.empty() ? 0 : 1) << said;
        if (line.starts_with("no global")) {
            EXPECT_NE(said.find("gapplication action org.zelna.ZelnaMenu hotkey-1"), std::string::npos) << said;
        }
        if (line.empty()) {
            const auto session = reported();
            ASSERT_EQ(session["shortcuts"].size(), 5U);
            for (std::size_t slot = 0; slot < 5; ++slot) {
                EXPECT_EQ(session["shortcuts"][slot][0], "slot-" + std::to_string(slot));
                EXPECT_EQ(session["shortcuts"][slot][1]["preferred_trigger"], "ALT+" + std::to_string(slot + 1));
            }
            const auto binding = options.empty() ? reported() : session;
            EXPECT_TRUE(binding["session"] == session["session"] && binding["shortcuts"] == session["shortcuts"]);
            EXPECT_FALSE(portal->readLine(0ms)) << "one session, and one binding at most";
        }
        pressed.clear();
        activate({ "slot-2", "slot-0", "slot-9", "slot-4", "somebody-else", "slot-1", "slot-3" });
        EXPECT_EQ(pressed, worksStill ? (std::vector<std::uint32_t> { 2, 0, 4, 1, 3 }) : std::vector<std::uint32_t> {})
            << "unknown shortcuts are ignored";
        keys.reset();
    }
}

TEST_F(PortalHotKeysTest, BindsAgainWithTheSameSessionWhenThePortalAppearsOrReturns)
{
    registerFiveKeys();
    runMainLoopFor(300ms);
    EXPECT_FALSE(keys->isBound()) << "no portal yet";
    // The backend of a restarted portal still holds the session it had.
    ScratchDirectory backend;
    const std::vector<std::string> keptSessions = { "--plasma527", "--state", backend.path / "sessions" };
    startPortal(keptSessions);
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    const auto session = reported()["session"];
    activate({ "slot-1" });
    ASSERT_TRUE(portal->terminate());
    ASSERT_TRUE(runMainLoopUntil([&] { return !keys->isBound(); }));
    startPortal(keptSessions);
    ASSERT_TRUE(runMainLoopUntil([&] { return keys->isBound(); }));
    const auto refused = reported(), renewed = reported();
    EXPECT_TRUE(refused["session"] == session && refused["refused"]) << "the same token: the desktop's keys are ours";
    EXPECT_TRUE(renewed["session"] == session && !renewed["refused"]);
    activate({ "slot-3" });
    EXPECT_EQ(pressed, (std::vector<std::uint32_t> { 1, 3 }));
}
