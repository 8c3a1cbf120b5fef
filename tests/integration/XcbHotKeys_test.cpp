#include "linux/XcbHotKeys.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace zelna::test;
using namespace std::chrono_literals;

namespace {

constexpr std::array<std::uint32_t, 5> keyCodes = {18, 19, 20, 21, 23};
constexpr std::uint16_t mod1 = XCB_MOD_MASK_1;
constexpr std::uint16_t mod2 = XCB_MOD_MASK_2;
// Xvfb's evdev keycodes of the 1 and 2 keys (AE01, AE02).
constexpr xcb_keycode_t key1 = 10;
constexpr xcb_keycode_t key2 = 11;

/// Another X client: holds grabs of its own and probes whether a combination is free.
class OtherClient {
public:
    OtherClient()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_connection.get()))
            throw std::runtime_error("cannot connect to the X display");
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection.get())).data->root;
    }

    /// Grabs the combination on the root window; false when another client holds it.
    bool grab(xcb_keycode_t keycode, std::uint16_t modifiers)
    {
        auto cookie = xcb_grab_key_checked(m_connection.get(), 1, m_root, modifiers, keycode, XCB_GRAB_MODE_ASYNC,
                                           XCB_GRAB_MODE_ASYNC);
        GUniquePtr<xcb_generic_error_t> error(xcb_request_check(m_connection.get(), cookie));
        return !error;
    }

    void ungrabAll()
    {
        xcb_ungrab_key(m_connection.get(), XCB_GRAB_ANY, m_root, XCB_MOD_MASK_ANY);
        xcb_flush(m_connection.get());
    }

private:
    GUniquePtr<xcb_connection_t> m_connection;
    xcb_window_t m_root = XCB_NONE;
};

void xdotool(const std::string& commands)
{
    std::vector<std::string> argv = {"xdotool"};
    std::istringstream words(commands);
    for (std::string word; words >> word;)
        argv.push_back(word);
    ChildProcess process(argv);
    ASSERT_EQ(process.wait(10s), 0) << commands;
}

class XcbHotKeysTest : public testing::Test {
protected:
    XcbHotKeysTest()
    {
        const EventTypeSpec type{kEventClassKeyboard, kEventHotKeyPressed};
        keys->installEventHandler(keys->getApplicationEventTarget(), recordHotKeyPress, 1, &type, &pressed, nullptr);
    }

    std::array<OSStatus, 5> registerFiveKeys()
    {
        std::array<OSStatus, 5> statuses{};
        for (std::uint32_t slot = 0; slot < 5; ++slot) {
            statuses[slot] = keys->registerEventHotKey(keyCodes[slot], optionKey, {fourCharCode("ZELN"), slot},
                                                       keys->getApplicationEventTarget(), 0, &refs[slot]);
        }
        return statuses;
    }

    /// Runs xdotool and collects the presses that arrive, up to and including the last one
    /// expected, plus any that follow at once (a double fire).
    std::vector<std::uint32_t> press(const std::string& commands, std::size_t expectedCount)
    {
        pressed.clear();
        xdotool(commands);
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

TEST(XcbHotKeyTablesTest, ModifierMasksComeFromTheModifierMap)
{
    std::array<std::vector<xkb_keysym_t>, 8> modifierMap{};
    EXPECT_EQ(modifierMasksFromKeysyms(modifierMap), XModifierMasks{}) << "no Alt, no Num Lock";

    // Xvfb's map: Alt and Meta on Mod1, Num Lock on Mod2, Super and Hyper on Mod4.
    modifierMap[3] = {XKB_KEY_Alt_L, XKB_KEY_Meta_L, XKB_KEY_Alt_R};
    modifierMap[4] = {XKB_KEY_Num_Lock};
    modifierMap[6] = {XKB_KEY_Super_L, XKB_KEY_Hyper_L};
    auto masks = modifierMasksFromKeysyms(modifierMap);
    EXPECT_EQ(masks.alt, mod1);
    EXPECT_EQ(masks.numLock, mod2);
    EXPECT_EQ(masks.super, XCB_MOD_MASK_4);
    EXPECT_EQ(masks.scrollLock, 0);
    EXPECT_EQ(masks.capsLock, XCB_MOD_MASK_LOCK);

    modifierMap[3] = {XKB_KEY_Meta_L};
    modifierMap[5] = {XKB_KEY_Scroll_Lock, XKB_KEY_Num_Lock};
    masks = modifierMasksFromKeysyms(modifierMap);
    EXPECT_EQ(masks.alt, mod1) << "Meta stands in for a missing Alt";
    EXPECT_EQ(masks.numLock, mod2 | XCB_MOD_MASK_3) << "a key on two modifiers sets both";
    EXPECT_EQ(masks.scrollLock, XCB_MOD_MASK_3);

    modifierMap[7] = {XKB_KEY_Alt_R};
    EXPECT_EQ(modifierMasksFromKeysyms(modifierMap).alt, XCB_MOD_MASK_5) << "Alt itself wins over Meta";
}

TEST(XcbHotKeyTablesTest, HotKeyModifiersMapToXModifiers)
{
    XModifierMasks masks;
    masks.alt = mod1;
    EXPECT_EQ(xModifiersForHotKeyModifiers(optionKey, masks), mod1);
    EXPECT_EQ(xModifiersForHotKeyModifiers(controlKey | optionKey | shiftKey, masks),
              mod1 | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT);
    EXPECT_EQ(xModifiersForHotKeyModifiers(0, masks), 0);
    EXPECT_FALSE(xModifiersForHotKeyModifiers(cmdKey, masks)) << "no modifier holds Super";
    EXPECT_FALSE(xModifiersForHotKeyModifiers(optionKey | 0x10000, masks)) << "an unknown modifier bit";
    masks.alt = 0;
    EXPECT_FALSE(xModifiersForHotKeyModifiers(optionKey, masks)) << "no modifier holds Alt";
}

TEST(XcbHotKeyTablesTest, EveryLockCombinationIsGrabbedOnceAndIgnoredWhenMatching)
{
    XModifierMasks masks;
    masks.alt = mod1;
    EXPECT_EQ(lockModifierVariants(mod1, masks), (std::vector<std::uint16_t>{mod1, mod1 | XCB_MOD_MASK_LOCK}))
        << "no Num Lock, no Scroll Lock";

    masks.numLock = mod2;
    masks.scrollLock = XCB_MOD_MASK_5;
    const auto variants = lockModifierVariants(mod1, masks);
    EXPECT_EQ(variants.size(), 8U);
    EXPECT_EQ(variants.front(), mod1);
    for (std::uint16_t locks = 0; locks < 0x100; locks = static_cast<std::uint16_t>(locks + 1)) {
        if (locks & mod1)
            continue;
        const bool isLocksOnly = (locks & ~(mod2 | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_5)) == 0;
        EXPECT_EQ(std::count(variants.begin(), variants.end(), mod1 | locks), isLocksOnly ? 1 : 0) << locks;
    }

    EXPECT_TRUE(isHotKeyState(mod1, mod1, masks));
    EXPECT_TRUE(isHotKeyState(mod1 | mod2 | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_5, mod1, masks));
    EXPECT_TRUE(isHotKeyState(mod1 | XCB_BUTTON_MASK_1, mod1, masks)) << "pointer buttons do not count";
    EXPECT_FALSE(isHotKeyState(mod1 | XCB_MOD_MASK_CONTROL, mod1, masks));
    EXPECT_FALSE(isHotKeyState(mod1 | XCB_MOD_MASK_SHIFT | mod2, mod1, masks));
    EXPECT_FALSE(isHotKeyState(0, mod1, masks));
}

TEST_F(XcbHotKeysTest, AltNumberKeysArriveAsTheirSlotsWhicheverLocksAreOn)
{
    ASSERT_TRUE(keys->isAvailable());
    EXPECT_EQ(registerFiveKeys(), (std::array<OSStatus, 5>{}));
    EXPECT_TRUE(std::all_of(refs.begin(), refs.end(), [](EventHotKeyRef ref) { return ref; }));

    EXPECT_EQ(press("key" + allKeys, 5), allSlots) << "no lock";
    EXPECT_EQ(press("key Num_Lock" + allKeys, 5), allSlots) << "Num Lock";
    EXPECT_EQ(press("key Caps_Lock" + allKeys, 5), allSlots) << "Num Lock and Caps Lock";
    EXPECT_EQ(press("key Num_Lock" + allKeys + "Caps_Lock", 5), allSlots) << "Caps Lock";
}

TEST_F(XcbHotKeysTest, OtherCombinationsArriveNowhere)
{
    registerFiveKeys();
    // The last key is a marker: once it is in, everything before it has been delivered.
    EXPECT_EQ(press("key alt+6 1 ctrl+alt+1 shift+alt+2 super+3 alt+0 alt+5", 1), std::vector<std::uint32_t>{4});
}

TEST_F(XcbHotKeysTest, AKeyHeldByAnotherClientFailsOnlyItsSlot)
{
    OtherClient other;
    ASSERT_TRUE(other.grab(key2, mod1));

    EXPECT_EQ(registerFiveKeys(), (std::array<OSStatus, 5>{noErr, eventHotKeyExistsErr, noErr, noErr, noErr}));
    EXPECT_FALSE(refs[1]);
    EXPECT_EQ(press("key" + allKeys, 4), (std::vector<std::uint32_t>{0, 2, 3, 4}));

    // The refused key's other lock variants were given back.
    other.ungrabAll();
    OtherClient probe;
    EXPECT_TRUE(probe.grab(key2, mod1 | mod2));
    EXPECT_TRUE(probe.grab(key2, mod1 | XCB_MOD_MASK_LOCK));
    EXPECT_FALSE(probe.grab(key1, mod1 | mod2)) << "the registered keys stay ours";

    EventHotKeyRef ref = nullptr;
    EXPECT_EQ(keys->registerEventHotKey(18, optionKey, {fourCharCode("ZELN"), 9}, keys->getApplicationEventTarget(),
                                        0, &ref),
              eventHotKeyExistsErr)
        << "a combination registered twice";
    EXPECT_FALSE(ref);

    keys.reset();
    EXPECT_TRUE(probe.grab(key1, mod1 | mod2)) << "the grabs go with the object";
}

TEST_F(XcbHotKeysTest, AHeldKeyFiresOnce)
{
    registerFiveKeys();
    // Xvfb repeats a held key after 660 ms, as a release and a press with the same time.
    EXPECT_EQ(press("keydown alt+1 sleep 1.2 keyup alt+1 key alt+1 alt+5", 3), (std::vector<std::uint32_t>{0, 0, 4}));
}

TEST_F(XcbHotKeysTest, KeyboardMappingChangesNeitherLoseNorDoubleTheKeys)
{
    registerFiveKeys();
    // xdotool maps a spare keycode for a keysym the layout lacks, then restores the map; a new
    // layout replaces the whole keyboard description.
    xdotool("key U2603");
    ChildProcess setxkbmap({"setxkbmap", "-layout", "us", "-option", "numpad:mac"});
    ASSERT_EQ(setxkbmap.wait(10s), 0);
    runMainLoopFor(300ms);
    EXPECT_EQ(press("key" + allKeys, 5), allSlots);
    EXPECT_EQ(press("key Num_Lock" + allKeys + "Num_Lock", 5), allSlots);
}

TEST(XcbHotKeysWithoutDisplayTest, EveryRegistrationFailsAndNothingElse)
{
    ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
    XcbHotKeys keys;
    EXPECT_FALSE(keys.isAvailable());
    const EventTypeSpec type{kEventClassKeyboard, kEventHotKeyPressed};
    std::vector<std::uint32_t> pressed;
    EXPECT_EQ(keys.installEventHandler(keys.getApplicationEventTarget(), recordHotKeyPress, 1, &type, &pressed, nullptr),
              noErr);
    for (std::uint32_t slot = 0; slot < 5; ++slot) {
        auto* const untouched = reinterpret_cast<EventHotKeyRef>(&pressed);
        EventHotKeyRef ref = untouched;
        EXPECT_NE(keys.registerEventHotKey(keyCodes[slot], optionKey, {fourCharCode("ZELN"), slot},
                                           keys.getApplicationEventTarget(), 0, &ref),
                  noErr);
        EXPECT_EQ(ref, untouched);
    }
    runMainLoopFor(50ms);
    EXPECT_TRUE(pressed.empty());
}
