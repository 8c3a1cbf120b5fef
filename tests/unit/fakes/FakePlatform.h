#pragma once

// One hand-written fake per port. They write what they are asked to do to one log, so that tests
// can check the order of effects across ports; FakePlatform holds one of each.

#include "core/AppDelegate.h"
#include "linux/HotKeyDispatch.h"

#include <map>
#include <set>

using EventLog = std::vector<std::string>;

/// A player whose rate follows play and pause; it logs "<name>.play", "<name>.pause" and "~<name>".
class FakeMediaPlayer final : public MediaPlayer {
public:
    FakeMediaPlayer(std::string name, EventLog& log, FakeMediaPlayer*& newest)
        : name(std::move(name)), log(log), newest(newest) { newest = this; }
    ~FakeMediaPlayer() override { log.push_back("~" + name), newest = newest == this ? nullptr : newest; }
    void play() override { log.push_back(name + ".play"), currentRate = 1.0F; }
    void pause() override { log.push_back(name + ".pause"), currentRate = 0.0F; }
    float rate() const override { return currentRate; }
    const std::string name;
    EventLog& log;
    FakeMediaPlayer*& newest;
    float currentRate = 0.0F; ///< Tests set it to mimic a stream that failed.
};

class FakeMediaPlayerFactory final : public MediaPlayerFactory {
public:
    explicit FakeMediaPlayerFactory(EventLog& log) : log(log) { }
    std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) override
    {
        startedUrls.push_back(item.url.absoluteString);
        log.push_back("make player" + std::to_string(startedUrls.size()) + " " + item.url.absoluteString);
        return std::make_unique<FakeMediaPlayer>("player" + std::to_string(startedUrls.size()), log, newest);
    }
    EventLog& log;
    std::vector<std::string> startedUrls;
    FakeMediaPlayer* newest = nullptr; ///< The last player made, while it lives.
};

/// Logs each publication as "publish key=value…" and each state as "state <n>".
class FakeNowPlaying final : public NowPlayingInfoCenter {
public:
    explicit FakeNowPlaying(EventLog& log) : log(log) { }
    void setNowPlayingInfo(NowPlayingInfo info) override
    {
        log.push_back("publish");
        for (const auto& [key, value] : info) {
            const auto text = value.index() ? std::get<std::string>(value) : std::get<bool>(value) ? "true" : "false";
            log.back() += " " + key + "=" + text;
            title = key == MPMediaItemPropertyTitle ? text : title;
        }
    }
    void setPlaybackState(MPNowPlayingPlaybackState value) override
    {
        log.push_back("state " + (state = std::to_string(static_cast<int>(value))));
    }
    EventLog& log;
    std::string title = "-", state = "-";
};

class FakeRemoteCommands final : public RemoteCommandCenter {
public:
    void addTarget(RemoteCommand command, RemoteCommandHandler run) override { handlers[command].push_back(run); }
    void setEnabled(RemoteCommand command, bool isEnabled) override { enabled[command] = isEnabled; }
    /// What the desktop sees when it sends the command: the last handler's status.
    int send(RemoteCommand command)
    {
        int status = -1;
        for (auto& handler : handlers[command])
            status = static_cast<int>(handler());
        return status;
    }
    std::map<RemoteCommand, std::vector<RemoteCommandHandler>> handlers;
    std::map<RemoteCommand, bool> enabled;
};

/// Hot keys as the adapters deliver them: a press of a number-row key reaches the installed
/// handlers with the id of the registration for that key and those modifiers, if there is one.
class FakeHotKeys final : public HotKeys {
public:
    explicit FakeHotKeys(EventLog& log) : log(log) { }
    EventTargetRef getApplicationEventTarget() override { return reinterpret_cast<EventTargetRef>(this); }
    OSStatus installEventHandler(EventTargetRef, EventHandlerProcPtr handler, std::uint32_t count,
        const EventTypeSpec* types, void* userData, EventHandlerRef*) override
    {
        log.push_back("install handler");
        return handlers.install(handler, count, types, userData);
    }
    OSStatus registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id, EventTargetRef,
        std::uint32_t, EventHotKeyRef* outRef) override
    {
        log.push_back("register");
        const NumberRowKey* key = numberRowKey(keyCode);
        if (!key || refused.count(key->digit))
            return eventHotKeyExistsErr;
        *outRef = reinterpret_cast<EventHotKeyRef>(&(registered[{ key->digit, modifiers }] = id));
        return noErr;
    }
    void press(char digit, std::uint32_t modifiers = optionKey)
    {
        if (auto found = registered.find({ digit, modifiers }); found != registered.end())
            handlers.deliverPress(found->second);
    }
    EventLog& log;
    HotKeyHandlers handlers;
    std::map<std::pair<char, std::uint32_t>, EventHotKeyID> registered;
    std::set<char> refused; ///< Digits whose keys another program holds.
};

class FakePreferences final : public Preferences {
public:
    explicit FakePreferences(EventLog& log) : log(log) { }
    std::optional<std::vector<StoredArrayElement>> arrayForKey(std::string_view key) override
    {
        auto found = arrays.find(key);
        return found == arrays.end() ? std::nullopt : std::optional(found->second);
    }
    void setObject(const std::vector<std::string>& array, std::string_view key) override
    {
        log.push_back("store " + std::string(key)), arrays[std::string(key)].assign(array.begin(), array.end());
    }
    EventLog& log;
    std::map<std::string, std::vector<StoredArrayElement>, std::less<>> arrays; ///< A value that is no array is absent.
};

/// Shows which key was looked up: "[quit]".
class FakeLocalizer final : public Localizer {
public:
    std::string localizedString(std::string_view key) override { return "[" + std::string(key) + "]"; }
};

class FakeLoginItems final : public LoginItems, public SMAppService {
public:
    std::shared_ptr<SMAppService> mainAppService() override { return { std::shared_ptr<void>(), this }; }
    SMAppServiceStatus status() override { return currentStatus; }
    bool registerAndReturnError(std::string* error) override { return answer("register", error); }
    bool unregisterAndReturnError(std::string* error) override { return answer("unregister", error); }
    bool answer(const std::string& call, std::string* error)
    {
        lastCall = call;
        if (failsCalls && error)
            *error = "refused";
        if (!failsCalls)
            currentStatus = call == "register" ? SMAppServiceStatus::enabled : SMAppServiceStatus::notRegistered;
        return !failsCalls;
    }
    SMAppServiceStatus currentStatus = SMAppServiceStatus::notRegistered;
    bool failsCalls = false;
    std::string lastCall = "-";
};

class FakeImage final : public Image {
public:
    explicit FakeImage(Size size) : imageSize(size) { }
    Size size() const override { return imageSize; }
    bool isTemplate() const override { return isTemplateImage; }
    void setTemplate(bool isTemplate) override { isTemplateImage = isTemplate; }
    Bitmap rasterize(double) const override { return {}; }
    Size imageSize;
    bool isTemplateImage = true; ///< So that a forgotten setTemplate(false) shows.
};

class FakeGraphics final : public Graphics {
public:
    Font systemFontOfSize(double pointSize) override { return { pointSize }; }
    double smallSystemFontSize() override { return 11.0; }
    Size sizeWithAttributes(std::string_view, const TextAttributes&) override { return { 20.0, 17.0 }; }
    std::shared_ptr<Image> imageWithSystemSymbolName(std::string_view, std::optional<std::string>) override
    {
        return makeImage({ 12.0, 12.0 });
    }
    std::shared_ptr<Image> makeImage(Size size) override { return std::make_shared<FakeImage>(size); }
    void lockFocus(Image&) override { }
    void unlockFocus(Image&) override { }
    void drawAtPoint(std::string_view, Point, const TextAttributes&) override { }
    void drawInRect(const Image&, Rect) override { }
};

/// A status item and its button, which exists unless the test says otherwise.
class FakeStatusItem final : public StatusItem, public StatusBarButton {
public:
    FakeStatusItem(EventLog& log, bool hasButton) : log(log), hasButton(hasButton) { }
    StatusBarButton* button() override { return hasButton ? this : nullptr; }
    void setMenu(std::shared_ptr<Menu> value) override { log.push_back("set menu"), menu = value, ++menusSet; }
    void setImage(std::shared_ptr<Image> value) override { log.push_back("button image"), image = value; }
    void setTitle(std::string value) override { log.push_back("button title '" + value + "'"), title = value; }
    void setFont(Font) override { }
    EventLog& log;
    const bool hasButton;
    std::shared_ptr<Menu> menu;
    int menusSet = 0;
    std::shared_ptr<Image> image;
    std::string title = "<unset>";
};

class FakeStatusBar final : public StatusBar {
public:
    explicit FakeStatusBar(EventLog& log) : log(log) { }
    std::shared_ptr<StatusItem> statusItemWithLength(double) override
    {
        log.push_back("status item");
        return items.emplace_back(std::make_shared<FakeStatusItem>(log, true));
    }
    EventLog& log;
    std::vector<std::shared_ptr<FakeStatusItem>> items;
};

class FakeNotifications final : public UserNotificationCenter {
public:
    explicit FakeNotifications(EventLog& log) : log(log) { }
    void requestAuthorization(std::uint32_t options, AuthorizationCompletion) override
    {
        log.push_back("authorize " + std::to_string(options));
    }
    EventLog& log;
};

class FakeUpdaterController final : public UpdaterController {
public:
    bool respondsTo(std::string_view selector) const override { return selector == "checkForUpdates:"; }
    void perform(std::string_view, MenuItem&) override { ++checks; }
    int checks = 0;
};

class FakeUpdaterFactory final : public UpdaterFactory {
public:
    explicit FakeUpdaterFactory(EventLog& log) : log(log) { }
    std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) override
    {
        log.push_back(startingUpdater ? "updater started" : "updater");
        return controllers.emplace_back(std::make_shared<FakeUpdaterController>());
    }
    EventLog& log;
    std::vector<std::shared_ptr<FakeUpdaterController>> controllers;
};

/// The end of the responder chain: answers "terminate:" only.
class FakeApplication final : public ActionTarget {
public:
    bool respondsTo(std::string_view selector) const override { return selector == "terminate:"; }
    void perform(std::string_view, MenuItem&) override { ++terminations; }
    int terminations = 0;
};

/// Every port faked, sharing one log.
struct FakePlatform {
    EventLog log;
    FakeMediaPlayerFactory mediaPlayers { log };
    FakeNowPlaying nowPlaying { log };
    FakeRemoteCommands remoteCommands;
    FakeHotKeys hotKeys { log };
    FakePreferences preferences { log };
    FakeLocalizer localizer;
    FakeLoginItems loginItems;
    FakeGraphics graphics;
    FakeStatusBar statusBar { log };
    FakeNotifications notifications { log };
    FakeUpdaterFactory updaters { log };

    AudioPlayer::Services playerServices() { return { mediaPlayers, nowPlaying, remoteCommands }; }
    MenuManager::Services menuServices() { return { graphics, localizer, loginItems, hotKeys, preferences, updaters }; }
    AppDelegate::Services delegateServices() { return { statusBar, notifications, playerServices(), menuServices() }; }
};
