// XcbHotKeys on Xvfb, pressed with xdotool as a user would.

#include "linux/XcbHotKeys.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

namespace {

class XcbHotKeysTest : public testing::Test {
protected:
    /// Another X client's grab of keycode (Xvfb's 10 is the 1 key, 11 the 2 key) with Alt and maybe
    /// Num Lock; false when someone holds it already.
    bool grabAsAnotherClient(xcb_keycode_t keycode, std::uint16_t locks = 0)
    {
        const auto root = xcb_setup_roots_iterator(xcb_get_setup(other.get())).data->root;
        const auto grab = xcb_grab_key_checked(
            other.get(), 1, root, XCB_MOD_MASK_1 | locks, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        return !GUniquePtr<xcb_generic_error_t>(xcb_request_check(other.get(), grab));
    }
    /// The slots pressed while xdotool runs, up to the last one expected and any that follow at once.
    std::vector<std::uint32_t> press(const std::string& commands, std::size_t expectedCount = 5)
    {
        pressed.clear();
        EXPECT_EQ(runTool({ "sh", "-c", "xdotool " + commands }).status, 0) << commands;
        runMainLoopUntil([&] { return pressed.size() >= expectedCount; }, 5s);
        return runMainLoopFor(100ms), pressed;
    }

    const std::vector<std::uint32_t> allSlots = { 0, 1, 2, 3, 4 };
    const std::string allKeys = " alt+1 alt+2 alt+3 alt+4 alt+5 ";
    VirtualDisplay display;
    GUniquePtr<xcb_connection_t> other { xcb_connect(nullptr, nullptr) };
    std::optional<XcbHotKeys> keys { std::in_place };
    std::vector<std::uint32_t> pressed;
};

} // namespace

TEST_F(XcbHotKeysTest, AltNumberKeysArriveAsTheirSlotsWhicheverLocksAreOnHeldOrRemapped)
{
    EXPECT_EQ(registerFiveHotKeys(*keys, pressed), (std::array<OSStatus, 5> {}));
    EXPECT_EQ(press("key" + allKeys), allSlots) << "no lock";
    EXPECT_EQ(press("key Num_Lock" + allKeys), allSlots) << "Num Lock";
    EXPECT_EQ(press("key Caps_Lock" + allKeys), allSlots) << "Num Lock and Caps Lock";
    EXPECT_EQ(press("key Num_Lock" + allKeys + "Caps_Lock"), allSlots) << "Caps Lock";
    // The last key is a marker: once it is in, everything before it has been delivered.
    EXPECT_EQ(press("key alt+6 1 ctrl+alt+1 shift+alt+2 super+3 alt+5", 1), std::vector<std::uint32_t> { 4 });
    // Xvfb repeats a held key after 660 ms, as a release and a press with the same time.
    EXPECT_EQ(press("keydown alt+1 sleep 1.2 keyup alt+1 key alt+1 alt+5", 3), (std::vector { 0U, 0U, 4U }));
    // xdotool maps a spare keycode for a keysym the layout lacks and restores the map; a new layout
    // replaces the whole keyboard description.
    EXPECT_EQ(runTool({ "sh", "-c", "xdotool key U2603 && setxkbmap -layout us -option numpad:mac" }).status, 0);
    runMainLoopFor(300ms);
    EXPECT_EQ(press("key Num_Lock" + allKeys + "Num_Lock"), allSlots);
}

TEST_F(XcbHotKeysTest, AKeyAnotherClientHoldsFailsOnlyItsSlotAndLeavesNoGrabBehind)
{
    ASSERT_TRUE(grabAsAnotherClient(11));
    std::array<EventHotKeyRef, 5> refs {};
    EXPECT_EQ(registerFiveHotKeys(*keys, pressed, &refs),
        (std::array { noErr, eventHotKeyExistsErr, noErr, noErr, noErr }));
    EXPECT_EQ(std::count(refs.begin(), refs.end(), nullptr), 1);
    EXPECT_EQ(press("key" + allKeys, 4), (std::vector<std::uint32_t> { 0, 2, 3, 4 }));
    EXPECT_TRUE(grabAsAnotherClient(11, XCB_MOD_MASK_2)) << "the refused key's partial grabs were undone";
    EXPECT_FALSE(grabAsAnotherClient(10, XCB_MOD_MASK_2)) << "the registered keys stay ours";
    keys.reset();
    EXPECT_TRUE(grabAsAnotherClient(10, XCB_MOD_MASK_2)) << "the grabs go with the object";
}
