#pragma once

#include "core/AppDelegate.h"
#include "fakes/FakeGraphics.h"
#include "fakes/FakeHotKeys.h"
#include "fakes/FakeLocalizer.h"
#include "fakes/FakeLoginItems.h"
#include "fakes/FakeMediaPlayer.h"
#include "fakes/FakeNotifications.h"
#include "fakes/FakeNowPlaying.h"
#include "fakes/FakePreferences.h"
#include "fakes/FakeRemoteCommands.h"
#include "fakes/FakeStatusBar.h"
#include "fakes/FakeUpdater.h"

/// Every port faked, sharing one event log.
struct FakePlatform {
    EventLog log;
    FakeMediaPlayerFactory mediaPlayers{log};
    FakeNowPlaying nowPlaying{log};
    FakeRemoteCommands remoteCommands;
    FakeHotKeys hotKeys{log};
    FakePreferences preferences;
    FakeLocalizer localizer;
    FakeLoginItems loginItems;
    FakeGraphics graphics;
    FakeStatusBar statusBar{log};
    FakeNotifications notifications{log};
    FakeUpdaterFactory updaters;

    AudioPlayer::Services playerServices() { return {mediaPlayers, nowPlaying, remoteCommands}; }
    MenuManager::Services menuServices() { return {graphics, localizer, loginItems, hotKeys, preferences, updaters}; }
    AppDelegate::Services delegateServices() { return {statusBar, notifications, playerServices(), menuServices()}; }
};
