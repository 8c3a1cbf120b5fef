#include "linux/XcbHotKeys.h"

#include "linux/support/Log.h"

#include <xkbcommon/xkbcommon-x11.h>

// xcb's XKB header names a field "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <string>

namespace {

/// The hot key as the lines about it name it; its key is one of the number row.
std::string shownName(std::uint32_t keyCode, std::uint32_t modifiers)
{
    return hotKeyName(keyCode, modifiers, HotKeyNotation::user).value_or("with unknown modifiers");
}

} // namespace

XModifierMasks modifierMasksFromKeysyms(const std::array<std::vector<xkb_keysym_t>, 8>& keysymsByModifier)
{
    XModifierMasks masks;
    std::uint16_t meta = 0;
    for (std::size_t index = 0; index < keysymsByModifier.size(); ++index) {
        const auto bit = static_cast<std::uint16_t>(1u << index);
        for (xkb_keysym_t keysym : keysymsByModifier[index]) {
            switch (keysym) {
            case XKB_KEY_Alt_L:
            case XKB_KEY_Alt_R:
                masks.alt |= bit;
                break;
            case XKB_KEY_Meta_L:
            case XKB_KEY_Meta_R:
                meta |= bit;
                break;
            case XKB_KEY_Super_L:
            case XKB_KEY_Super_R:
                masks.super |= bit;
                break;
            case XKB_KEY_Num_Lock:
                masks.numLock |= bit;
                break;
            case XKB_KEY_Scroll_Lock:
                masks.scrollLock |= bit;
                break;
            default:
                break;
            }
        }
    }
    if (!masks.alt)
        masks.alt = meta;
    return masks;
}

std::optional<std::uint16_t> xModifiersForHotKeyModifiers(std::uint32_t modifiers, const XModifierMasks& masks)
{
    const std::array<std::pair<std::uint32_t, std::uint16_t>, 4> table = {{
        {cmdKey, masks.super},
        {shiftKey, masks.shift},
        {optionKey, masks.alt},
        {controlKey, masks.control},
    }};
    std::uint16_t xModifiers = 0;
    for (const auto& [hotKeyModifier, xModifier] : table) {
        if (!(modifiers & hotKeyModifier))
            continue;
        if (!xModifier)
            return std::nullopt;
        xModifiers |= xModifier;
        modifiers &= ~hotKeyModifier;
    }
    if (modifiers)
        return std::nullopt;
    return xModifiers;
}

std::vector<std::uint16_t> lockModifierVariants(std::uint16_t modifiers, const XModifierMasks& masks)
{
    const std::array<std::uint16_t, 3> locks = {masks.numLock, masks.capsLock, masks.scrollLock};
    std::vector<std::uint16_t> variants;
    for (unsigned subset = 0; subset < (1u << locks.size()); ++subset) {
        std::uint16_t variant = modifiers;
        for (std::size_t lock = 0; lock < locks.size(); ++lock) {
            if (subset & (1u << lock))
                variant |= locks[lock];
        }
        if (std::find(variants.begin(), variants.end(), variant) == variants.end())
            variants.push_back(variant);
    }
    return variants;
}

bool isHotKeyState(std::uint16_t state, std::uint16_t modifiers, const XModifierMasks& masks)
{
    // The high bits of a key event's state are pointer buttons.
    constexpr std::uint16_t modifierBits = 0xff;
    const auto locks = static_cast<std::uint16_t>(masks.numLock | masks.capsLock | masks.scrollLock);
    return (state & modifierBits & ~locks) == modifiers;
}

struct XcbHotKeys::EventSource {
    GSource source;
    XcbHotKeys* owner;
    gpointer fdTag;
};

GSourceFuncs XcbHotKeys::s_sourceFunctions = {
    XcbHotKeys::prepareSource, XcbHotKeys::checkSource, XcbHotKeys::dispatchSource, nullptr, nullptr, nullptr,
};

XcbHotKeys::XcbHotKeys()
{
    int screenNumber = 0;
    GUniquePtr<xcb_connection_t> connection(xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection.get())) {
        logLine("no X display, so global hot keys are off");
        return;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int index = 0; screens.rem && index < screenNumber; ++index)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        logLine("the X display has no screen %d, so global hot keys are off", screenNumber);
        return;
    }
    m_root = screens.data->root;

    const bool hasXkb =
        xkb_x11_setup_xkb_extension(connection.get(), XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &m_xkbEventBase, nullptr);
    m_keyboardDevice = hasXkb ? xkb_x11_get_core_keyboard_device_id(connection.get()) : -1;
    if (m_keyboardDevice < 0) {
        logLine("the X display lacks the XKB extension, so global hot keys are off");
        return;
    }
    // A client using XKB no longer gets core MappingNotify events; these stand in for them.
    constexpr std::uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS
        | XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS
        | XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
    xcb_xkb_select_events_details_t details{};
    details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
    details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
    xcb_xkb_select_events_aux(connection.get(), static_cast<xcb_xkb_device_spec_t>(m_keyboardDevice),
                              XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY, 0, 0, mapParts,
                              mapParts, &details);

    m_xkbContext.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    m_connection = std::move(connection);
    if (!m_xkbContext || !loadKeyboard()) {
        logLine("cannot read the X keyboard map, so global hot keys are off");
        m_connection.reset();
        return;
    }

    m_source.reset(g_source_new(&s_sourceFunctions, sizeof(EventSource)));
    auto* source = reinterpret_cast<EventSource*>(m_source.get());
    source->owner = this;
    source->fdTag = g_source_add_unix_fd(m_source.get(), xcb_get_file_descriptor(m_connection.get()),
                                         static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_static_name(m_source.get(), "XcbHotKeys");
    g_source_attach(m_source.get(), nullptr);
}

XcbHotKeys::~XcbHotKeys()
{
    if (m_source)
        g_source_destroy(m_source.get());
    // Closing the connection releases every grab it holds.
}

bool XcbHotKeys::isAvailable() const
{
    return m_connection && !xcb_connection_has_error(m_connection.get());
}

OSStatus XcbHotKeys::registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID hotKeyID,
                                         EventTargetRef, std::uint32_t, EventHotKeyRef* outRef)
{
    if (!numberRowKey(keyCode) || !isAvailable())
        return eventInternalErr;
    const bool isTaken = std::any_of(m_registrations.begin(), m_registrations.end(), [&](const auto& registration) {
        return registration->keyCode == keyCode && registration->modifiers == modifiers;
    });
    if (isTaken)
        return eventHotKeyExistsErr;

    auto registration = std::make_unique<Registration>();
    registration->keyCode = keyCode;
    registration->modifiers = modifiers;
    registration->hotKeyID = hotKeyID;
    if (const OSStatus status = grab(*registration); status != noErr) {
        logLine("the hot key %s stays off: %s", shownName(keyCode, modifiers).c_str(),
                status == eventHotKeyExistsErr ? "another program holds it" : "it cannot be grabbed on this keyboard");
        return status;
    }
    if (outRef)
        *outRef = reinterpret_cast<EventHotKeyRef>(registration.get());
    m_registrations.push_back(std::move(registration));
    return noErr;
}

bool XcbHotKeys::loadKeyboard()
{
    auto* connection = m_connection.get();
    GUniquePtr<xkb_keymap> keymap(xkb_x11_keymap_new_from_device(m_xkbContext.get(), connection, m_keyboardDevice,
                                                                  XKB_KEYMAP_COMPILE_NO_FLAGS));
    GUniquePtr<xcb_get_modifier_mapping_reply_t> modifierMap(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (!keymap || !modifierMap)
        return false;

    std::array<std::vector<xkb_keysym_t>, 8> keysymsByModifier;
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(modifierMap.get());
    const std::size_t keysPerModifier = modifierMap->keycodes_per_modifier;
    for (std::size_t modifier = 0; modifier < keysymsByModifier.size(); ++modifier) {
        for (std::size_t slot = 0; slot < keysPerModifier; ++slot) {
            const xkb_keycode_t keycode = keycodes[modifier * keysPerModifier + slot];
            if (!keycode)
                continue;
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), keycode, 0);
            for (xkb_level_index_t level = 0; level < levels; ++level) {
                const xkb_keysym_t* keysyms = nullptr;
                const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), keycode, 0, level, &keysyms);
                keysymsByModifier[modifier].insert(keysymsByModifier[modifier].end(), keysyms,
                                                   keysyms + std::max(count, 0));
            }
        }
    }
    m_masks = modifierMasksFromKeysyms(keysymsByModifier);
    m_keymap = std::move(keymap);
    return true;
}

OSStatus XcbHotKeys::grab(Registration& registration)
{
    const xkb_keycode_t keycode = xkb_keymap_key_by_name(m_keymap.get(), numberRowKey(registration.keyCode)->xkbName);
    const auto xModifiers = xModifiersForHotKeyModifiers(registration.modifiers, m_masks);
    if (keycode == XKB_KEYCODE_INVALID || keycode > 255 || !xModifiers) {
        ungrab(registration);
        return eventInternalErr;
    }
    const auto variants = lockModifierVariants(*xModifiers, m_masks);
    // Mapping changes come in bursts and mostly change nothing that matters here; grabbing again
    // would open a moment in which the key is not ours.
    if (registration.keycode == keycode && registration.grabbedVariants == variants)
        return noErr;
    ungrab(registration);

    auto* connection = m_connection.get();
    const auto xKeycode = static_cast<xcb_keycode_t>(keycode);
    std::vector<xcb_void_cookie_t> cookies;
    for (std::uint16_t variant : variants)
        cookies.push_back(xcb_grab_key_checked(connection, 1, m_root, variant, xKeycode, XCB_GRAB_MODE_ASYNC,
                                               XCB_GRAB_MODE_ASYNC));
    OSStatus status = noErr;
    std::vector<std::uint16_t> grabbed;
    for (std::size_t index = 0; index < cookies.size(); ++index) {
        GUniquePtr<xcb_generic_error_t> error(xcb_request_check(connection, cookies[index]));
        if (!error)
            grabbed.push_back(variants[index]);
        else if (error->error_code == XCB_ACCESS)
            status = eventHotKeyExistsErr;
        else if (status == noErr)
            status = eventInternalErr;
    }
    if (status == noErr && xcb_connection_has_error(connection))
        status = eventInternalErr;
    if (status != noErr) {
        // Half a hot key would fire only with some locks on, and block the other program's.
        for (std::uint16_t variant : grabbed)
            xcb_ungrab_key(connection, xKeycode, m_root, variant);
        xcb_flush(connection);
        return status;
    }
    registration.keycode = xKeycode;
    registration.xModifiers = *xModifiers;
    registration.grabbedVariants = variants;
    return noErr;
}

void XcbHotKeys::ungrab(Registration& registration)
{
    if (!registration.keycode)
        return;
    for (std::uint16_t variant : registration.grabbedVariants)
        xcb_ungrab_key(m_connection.get(), registration.keycode, m_root, variant);
    xcb_flush(m_connection.get());
    registration.keycode = 0;
    registration.grabbedVariants.clear();
}

void XcbHotKeys::keyboardChanged()
{
    if (!loadKeyboard()) {
        logLine("cannot read the changed X keyboard map; hot keys stay as they were");
        return;
    }
    for (auto& registration : m_registrations) {
        const bool wasGrabbed = registration->keycode != 0;
        if (grab(*registration) != noErr && wasGrabbed)
            logLine("the hot key %s is off after a keyboard change",
                    shownName(registration->keyCode, registration->modifiers).c_str());
    }
}

void XcbHotKeys::handleEvent(const xcb_generic_event_t& event)
{
    const auto type = event.response_type & ~0x80;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        const auto& key = reinterpret_cast<const xcb_key_press_event_t&>(event);
        std::vector<EventHotKeyID> pressed;
        for (auto& registration : m_registrations) {
            if (registration->keycode != key.detail)
                continue;
            // Auto-repeat sends a release and a press with the same time for as long as the key
            // is held; only the first press counts.
            if (type == XCB_KEY_RELEASE)
                registration->lastReleaseTime = key.time;
            else if (key.time != registration->lastReleaseTime
                     && isHotKeyState(key.state, registration->xModifiers, m_masks))
                pressed.push_back(registration->hotKeyID);
        }
        for (const auto& hotKeyID : pressed)
            press(hotKeyID);
    } else if (type == XCB_MAPPING_NOTIFY) {
        if (reinterpret_cast<const xcb_mapping_notify_event_t&>(event).request != XCB_MAPPING_POINTER)
            keyboardChanged();
    } else if (type == m_xkbEventBase) {
        const auto& notify = reinterpret_cast<const xcb_xkb_map_notify_event_t&>(event);
        if ((notify.xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || notify.xkbType == XCB_XKB_MAP_NOTIFY)
            && notify.deviceID == m_keyboardDevice)
            keyboardChanged();
    }
}

bool XcbHotKeys::hasQueuedEvents()
{
    // Replies read while waiting for a request may have brought events along; they sit in xcb's
    // queue, where polling the descriptor cannot see them.
    while (auto* event = xcb_poll_for_queued_event(m_connection.get()))
        m_queuedEvents.emplace_back(event);
    return !m_queuedEvents.empty();
}

bool XcbHotKeys::dispatchEvents()
{
    auto* connection = m_connection.get();
    while (true) {
        GUniquePtr<xcb_generic_event_t> event;
        if (!m_queuedEvents.empty()) {
            event = std::move(m_queuedEvents.front());
            m_queuedEvents.pop_front();
        } else {
            event.reset(xcb_poll_for_event(connection));
        }
        if (!event)
            break;
        handleEvent(*event);
    }
    if (xcb_connection_has_error(connection)) {
        logLine("the X connection was lost, so global hot keys are off");
        return false;
    }
    return true;
}

gboolean XcbHotKeys::prepareSource(GSource* source, gint* timeout)
{
    *timeout = -1;
    return reinterpret_cast<EventSource*>(source)->owner->hasQueuedEvents();
}

gboolean XcbHotKeys::checkSource(GSource* source)
{
    auto* eventSource = reinterpret_cast<EventSource*>(source);
    return g_source_query_unix_fd(source, eventSource->fdTag) != 0 || eventSource->owner->hasQueuedEvents();
}

gboolean XcbHotKeys::dispatchSource(GSource* source, GSourceFunc, gpointer)
{
    return reinterpret_cast<EventSource*>(source)->owner->dispatchEvents() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}
