#pragma once

// The platform faked as one object that plays every port the core uses. What the core asks of it
// goes to one log, so that tests can check the order of effects across ports; the rest of its
// state is what tests set or read.

#include "core/AppDelegate.h"
#include "linux/support/HotKeyDispatch.h"

#include <map>

using EventLog = std::vector<std::string>;

/// A player whose rate follows play and pause; it logs "<name>.play", "<name>.pause" and "~<name>".
struct FakeMediaPlayer final : MediaPlayer {
    FakeMediaPlayer(std::string name, EventLog& log, FakeMediaPlayer*& newest) : name(name), log(log), newest(newest)
    {
        newest = this;
    }
    ~FakeMediaPlayer() override { log.push_back("~" + name), newest = newest == this ? nullptr : newest; }
    void play() override { log.push_back(name + ".play"), currentRate = 1.0F; }
    void pause() override { log.push_back(name + ".pause"), currentRate = 0.0F; }
    float rate() const override { return currentRate; }
    std::string name;
    EventLog& log;
    FakeMediaPlayer*& newest;
    float currentRate = 0.0F; ///< Tests set it to mimic a stream that failed.
};

struct FakeImage final : Image {
    explicit FakeImage(Size size) : imageSize(size) { }
    Size size() const override { return imageSize; }
    bool isTemplate() const override { return isTemplateImage; }
    void setTemplate(bool isTemplate) override { isTemplateImage = isTemplate; }
    Bitmap rasterize(double) const override { return {}; }
    Size imageSize;
    bool isTemplateImage = true; ///< So that a forgotten setTemplate(false) shows.
};

/// Answers one selector and counts its performances: the update controller ("checkForUpdates:"), or
/// the application at the end of the responder chain ("terminate:").
struct FakeTarget final : UpdaterController {
    explicit FakeTarget(std::string selector) : selector(selector) { }
    bool respondsTo(std::string_view name) const override { return name == selector; }
    void perform(std::string_view, MenuItem&) override { ++performed; }
    std::string selector;
    int performed = 0;
};

class FakePlatform final : public MediaPlayerFactory, public NowPlayingInfoCenter, public RemoteCommandCenter,
                           public HotKeyAdapter, public Preferences, public Localizer, public LoginItems, public SMAppService,
                           public Graphics, public StatusBar, public StatusItem, public StatusBarButton,
                           public UserNotificationCenter, public UpdaterFactory {
public:
    EventLog log;

    // Players: "make playerN <url>", then the player's own entries.
    std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) override
    {
        startedUrls.push_back(item.url.absoluteString);
        log.push_back("make player" + std::to_string(startedUrls.size()) + " " + item.url.absoluteString);
        return std::make_unique<FakeMediaPlayer>("player" + std::to_string(startedUrls.size()), log, newestPlayer);
    }
    std::vector<std::string> startedUrls;
    FakeMediaPlayer* newestPlayer = nullptr; ///< The last player made, while it lives.

    // Now playing: "publish key=value…", "state <n>".
    void setNowPlayingInfo(NowPlayingInfo info) override
    {
        log.push_back("publish");
        for (const auto& [key, value] : info) {
            const auto text = value.index() ? std::get<std::string>(value) : std::get<bool>(value) ? "true" : "false";
            log.back() += " " + key + "=" + text;
            nowPlayingTitle = key == MPMediaItemPropertyTitle ? text : nowPlayingTitle;
        }
    }
    void setPlaybackState(MPNowPlayingPlaybackState state) override
    {
        log.push_back("state " + (playbackState = std::to_string(static_cast<int>(state))));
    }
    std::string nowPlayingTitle = "-", playbackState = "-";

    // Media commands; send() is the desktop sending one, answered with the last handler's status.
    void addTarget(RemoteCommand command, RemoteCommandHandler run) override { handlers[command].push_back(run); }
    void setEnabled(RemoteCommand, bool) override { }
    int send(RemoteCommand command)
    {
        int status = -1;
        for (auto& handler : handlers[command])
            status = static_cast<int>(handler());
        return status;
    }
    std::map<RemoteCommand, std::vector<RemoteCommandHandler>> handlers;

    // Hot keys as the adapters deliver them: press() reaches the installed handlers with the id of
    // the registration for that number-row key and those modifiers, if there is one.
    OSStatus installEventHandler(EventTargetRef target, EventHandlerProcPtr handler, std::uint32_t count,
        const EventTypeSpec* types, void* userData, EventHandlerRef* outRef) override
    {
        log.push_back("install handler");
        return HotKeyAdapter::installEventHandler(target, handler, count, types, userData, outRef);
    }
    OSStatus registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID id, EventTargetRef,
        std::uint32_t, EventHotKeyRef* outRef) override
    {
        log.push_back("register");
        const NumberRowKey* key = numberRowKey(keyCode);
        if (!key)
            return eventHotKeyExistsErr;
        *outRef = reinterpret_cast<EventHotKeyRef>(&(hotKeys[{ key->digit, modifiers }] = id));
        return noErr;
    }
    void press(char digit, std::uint32_t modifiers = optionKey)
    {
        if (auto found = hotKeys.find({ digit, modifiers }); found != hotKeys.end())
            HotKeyAdapter::press(found->second);
    }
    std::map<std::pair<char, std::uint32_t>, EventHotKeyID> hotKeys;

    // Preferences: "store <key>"; a value that is no array is absent.
    std::optional<std::vector<StoredArrayElement>> arrayForKey(std::string_view key) override
    {
        auto found = arrays.find(key);
        return found == arrays.end() ? std::nullopt : std::optional(found->second);
    }
    void setObject(const std::vector<std::string>& array, std::string_view key) override
    {
        log.push_back("store " + std::string(key)), arrays[std::string(key)].assign(array.begin(), array.end());
    }
    std::map<std::string, std::vector<StoredArrayElement>, std::less<>> arrays;

    // Texts show which key was looked up: "[quit]".
    std::string localizedString(std::string_view key) override { return "[" + std::string(key) + "]"; }

    // The login item, which registering enables and unregistering disables.
    std::shared_ptr<SMAppService> mainAppService() override { return { std::shared_ptr<void>(), this }; }
    SMAppServiceStatus status() override { return loginStatus; }
    bool registerAndReturnError(std::string*) override { return (loginStatus = SMAppServiceStatus::enabled), true; }
    bool unregisterAndReturnError(std::string*) override
    {
        return (loginStatus = SMAppServiceStatus::notRegistered), true;
    }
    SMAppServiceStatus loginStatus = SMAppServiceStatus::notRegistered;

    // Graphics: every text measures 20 × 17 points; drawing draws nothing.
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

    // The status item is the platform itself: "status item", "button image", "button title '…'",
    // "set menu".
    std::shared_ptr<StatusItem> statusItemWithLength(double) override
    {
        log.push_back("status item"), ++statusItems;
        return { std::shared_ptr<void>(), this };
    }
    StatusBarButton* button() override { return this; }
    void setMenu(std::shared_ptr<Menu> value) override { log.push_back("set menu"), menu = value, ++menusSet; }
    void setImage(std::shared_ptr<Image> value) override { log.push_back("button image"), image = value; }
    void setTitle(std::string value) override { log.push_back("button title '" + value + "'"), title = value; }
    void setFont(Font) override { }
    int statusItems = 0, menusSet = 0;
    std::shared_ptr<Menu> menu;
    std::shared_ptr<Image> image;
    std::string title = "<unset>";

    // Notifications: "authorize <options>"; updates: "updater started".
    void requestAuthorization(std::uint32_t options, AuthorizationCompletion) override
    {
        log.push_back("authorize " + std::to_string(options));
    }
    std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) override
    {
        log.push_back(startingUpdater ? "updater started" : "updater");
        return updater = std::make_shared<FakeTarget>(std::string(checkForUpdatesSelector));
    }
    std::shared_ptr<FakeTarget> updater;

    AudioPlayer::Services playerServices() { return { *this, *this, *this }; }
    MenuManager::Services menuServices() { return { *this, *this, *this, *this, *this, *this }; }
    AppDelegate::Services delegateServices() { return { *this, *this, playerServices(), menuServices() }; }
};
