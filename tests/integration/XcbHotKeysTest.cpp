#include "linux/XcbHotKeys.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace zelna::test;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t alt = XCB_MOD_MASK_1;
constexpr std::uint16_t numLock = XCB_MOD_MASK_2;
// Xvfb's evdev keycodes of the 1 and 2 keys (AE01, AE02).
constexpr xcb_keycode_t key1 = 10;
constexpr xcb_keycode_t key2 = 11;

/// Another X client's grab of the combination on the root window; false when someone holds it.
bool grabAsOtherClient(xcb_connection_t* other, xcb_keycode_t keycode, std::uint16_t modifiers)
{
    const auto root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
    GUniquePtr<xcb_generic_error_t> error(xcb_request_check(
        other, xcb_grab_key_checked(other, 1, root, modifiers, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
    return !error;
}

void run(const std::vector<std::string>& argv)
{
    ChildProcess process(argv);
    ASSERT_EQ(process.wait(10s), 0) << argv[0];
}

class XcbHotKeysTest : public testing::Test {
protected:
    /// Runs xdotool and collects the presses up to the last one expected, plus any that follow
    /// at once (a double fire).
    std::vector<std::uint32_t> press(const std::string& commands, std::size_t expectedCount)
    {
        pressed.clear();
        std::vector<std::string> argv = {"xdotool"};
        std::istringstream words(commands);
        for (std::string word; words >> word;)
            argv.push_back(word);
        run(argv);
        runMainLoopUntil([&] { return pressed.size() >= expectedCount; }, 5s);
        runMainLoopFor(100ms);
        return pressed;
    }

    const std::vector<std::uint32_t> allSlots = {0, 1, 2, 3, 4};
    const std::string allKeys = " alt+1 alt+2 alt+3 alt+4 alt+5 ";

    VirtualDisplay display;
    std::optional<XcbHotKeys> keys{std::in_place};
    std::vector<std::uint32_t> pressed;
    std::array<EventHotKeyRef, 5> refs{};
};

} // namespace

TEST_F(XcbHotKeysTest, AltNumberKeysArriveAsTheirSlotsWhicheverLocksAreOnAndNothingElseDoes)
{
    ASSERT_TRUE(keys->isAvailable());
    EXPECT_EQ(registerFiveHotKeys(*keys, pressed, &refs), (std::array<OSStatus, 5>{}));
    EXPECT_TRUE(std::all_of(refs.begin(), refs.end(), [](EventHotKeyRef ref) { return ref; }));

    EXPECT_EQ(press("key" + allKeys, 5), allSlots) << "no lock";
    EXPECT_EQ(press("key Num_Lock" + allKeys, 5), allSlots) << "Num Lock";
    EXPECT_EQ(press("key Caps_Lock" + allKeys, 5), allSlots) << "Num Lock and Caps Lock";
    EXPECT_EQ(press("key Num_Lock" + allKeys + "Caps_Lock", 5), allSlots) << "Caps Lock";
    // The last key is a marker: once it is in, everything before it has been delivered.
    EXPECT_EQ(press("key alt+6 1 ctrl+alt+1 shift+alt+2 super+3 alt+5", 1), std::vector<std::uint32_t>{4});
}

TEST_F(XcbHotKeysTest, AKeyHeldByAnotherClientFailsOnlyItsSlot)
{
    GUniquePtr<xcb_connection_t> other(xcb_connect(nullptr, nullptr));
    ASSERT_TRUE(grabAsOtherClient(other.get(), key2, alt));

    EXPECT_EQ(registerFiveHotKeys(*keys, pressed, &refs),
              (std::array<OSStatus, 5>{noErr, eventHotKeyExistsErr, noErr, noErr, noErr}));
    EXPECT_FALSE(refs[1]);
    EXPECT_EQ(press("key" + allKeys, 4), (std::vector<std::uint32_t>{0, 2, 3, 4}));

    GUniquePtr<xcb_connection_t> probe(xcb_connect(nullptr, nullptr));
    EXPECT_TRUE(grabAsOtherClient(probe.get(), key2, alt | numLock)) << "the refused key's partial grabs were undone";
    EXPECT_FALSE(grabAsOtherClient(probe.get(), key1, alt | numLock)) << "the registered keys stay ours";
    keys.reset();
    EXPECT_TRUE(grabAsOtherClient(probe.get(), key1, alt | numLock)) << "the grabs go with the object";
}

TEST_F(XcbHotKeysTest, AHeldKeyFiresOnceAndMappingChangesDoNotDoubleTheKeys)
{
    registerFiveHotKeys(*keys, pressed);
    // Xvfb repeats a held key after 660 ms, as a release and a press with the same time.
    EXPECT_EQ(press("keydown alt+1 sleep 1.2 keyup alt+1 key alt+1 alt+5", 3), (std::vector<std::uint32_t>{0, 0, 4}));

    // xdotool maps a spare keycode for a keysym the layout lacks, then restores the map; a new
    // layout replaces the whole keyboard description.
    run({"xdotool", "key", "U2603"});
    run({"setxkbmap", "-layout", "us", "-option", "numpad:mac"});
    runMainLoopFor(300ms);
    EXPECT_EQ(press("key" + allKeys, 5), allSlots);
    EXPECT_EQ(press("key Num_Lock" + allKeys + "Num_Lock", 5), allSlots);
}

TEST(XcbHotKeysWithoutDisplayTest, EveryRegistrationFailsAndNothingElse)
{
    ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
    XcbHotKeys keys;
    EXPECT_FALSE(keys.isAvailable());
    std::vector<std::uint32_t> pressed;
    auto* const untouched = reinterpret_cast<EventHotKeyRef>(&pressed);
    std::array<EventHotKeyRef, 5> refs;
    refs.fill(untouched);
    for (const OSStatus status : registerFiveHotKeys(keys, pressed, &refs))
        EXPECT_NE(status, noErr);
    EXPECT_EQ(std::count(refs.begin(), refs.end(), untouched), 5);
    runMainLoopFor(50ms);
    EXPECT_TRUE(pressed.empty());
}
