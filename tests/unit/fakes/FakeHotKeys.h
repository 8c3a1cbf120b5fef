#pragma once

#include "fakes/EventLog.h"
#include "ports/HotKeys.h"

#include <cstring>
#include <optional>
#include <set>
#include <vector>

/// A hot-key event carrying an id, or none to mimic an event without a readable parameter.
class FakeHotKeyEvent final : public HotKeyEvent {
public:
    explicit FakeHotKeyEvent(std::optional<EventHotKeyID> id) : m_id(id) { }
    OSStatus getEventParameter(FourCharCode name, FourCharCode type, FourCharCode*, std::uint32_t bufferSize,
                               std::uint32_t*, void* outData) const override
    {
        if (!m_id || name != kEventParamDirectObject || type != typeEventHotKeyID || bufferSize < sizeof(EventHotKeyID))
            return eventParameterNotFoundErr;
        std::memcpy(outData, &*m_id, sizeof(EventHotKeyID));
        return noErr;
    }

private:
    std::optional<EventHotKeyID> m_id;
};

class FakeHotKeys final : public HotKeys {
public:
    struct Registration {
        std::uint32_t keyCode, modifiers;
        EventHotKeyID id;
        EventTargetRef target;
        std::uint32_t options;
    };

    explicit FakeHotKeys(EventLog& log) : m_log(log) { }

    EventTargetRef getApplicationEventTarget() override { return reinterpret_cast<EventTargetRef>(&m_target); }
    OSStatus installEventHandler(EventTargetRef target, EventHandlerProcPtr proc, std::uint32_t numTypes,
                                 const EventTypeSpec* list, void* userData, EventHandlerRef*) override
    {
        m_log.add("install handler");
        handler = proc;
        handlerUserData = userData;
        handlerTarget = target;
        eventTypes.assign(list, list + numTypes);
        return noErr;
    }
    OSStatus registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id,
                                 EventTargetRef target, std::uint32_t options, EventHotKeyRef* outRef) override
    {
        m_log.add("register " + std::to_string(keyCode));
        registered.push_back({keyCode, modifiers, id, target, options});
        if (refusedKeyCodes.count(keyCode))
            return eventHotKeyExistsErr;
        *outRef = reinterpret_cast<EventHotKeyRef>(&registered.back());
        return noErr;
    }

    /// Delivers a press of the registered key with this id, as the event loop would.
    OSStatus press(std::uint32_t id) { return deliver(FakeHotKeyEvent(EventHotKeyID{registered.at(0).id.signature, id})); }
    OSStatus deliver(const FakeHotKeyEvent& event) { return handler(nullptr, &event, handlerUserData); }

    EventHandlerProcPtr handler = nullptr;
    void* handlerUserData = nullptr;
    EventTargetRef handlerTarget = nullptr;
    std::vector<EventTypeSpec> eventTypes;
    std::vector<Registration> registered;
    std::set<std::uint32_t> refusedKeyCodes;

private:
    EventLog& m_log;
    int m_target = 0;
};
