#include "AppScript.h"

namespace {

const std::string defaultShortcuts = "shortcuts=⌥1: Zelna Prime,⌥2: Zelna Pulse,⌥3: Zelna Aria,"
                                     "⌥4: [hotkey_none],⌥5: [hotkey_none]";

} // namespace

TEST_F(AppScript, StoredSlotsArePaddedKeptAndSeededOnlyWhenNoneHoldsAChannel)
{
    run({
        { "launch", "slots=prime,pulse,aria,,;marks=Zelna Prime,Zelna Pulse,Zelna Aria,[hotkey_none],[hotkey_none];"
                    "hints=Zelna Prime⌥1,Zelna Pulse⌥2,Zelna Aria⌥3,[quit]^q;" + defaultShortcuts },
        { "relaunch ,,,,aria", "slots=,,,,aria;hints=Zelna Aria⌥5,[quit]^q" },
        // Read as padded, never written by reading; the first write stores it padded.
        { "relaunch aria", "slots=aria;marks=Zelna Aria,[hotkey_none],[hotkey_none],[hotkey_none],[hotkey_none]" },
        { "assign 3 Zelna Vintage", "slots=aria,,vintage,," },
        // One element that is no string makes the whole array unreadable, hence empty.
        { "relaunch prime,#", "slots=prime,pulse,aria,," },
        // A longer array keeps its length; its later entries count for the hints.
        { "relaunch a,b,c,d,e,f,pulse", "slots=a,b,c,d,e,f,pulse;hints=Zelna Pulse⌥7,[quit]^q" },
        { "assign 2 Zelna Prime", "slots=a,prime,c,d,e,f,pulse" },
        // An id that names no channel shows as none, with nothing checked, and its key does nothing.
        { "relaunch prime,gone,,,",
            "slots=prime,gone,,,;marks=Zelna Prime,-,[hotkey_none],[hotkey_none],[hotkey_none]" },
        { "press 2", "started=;menus=1" },
        { "relaunch ,,,,", "slots=prime,pulse,aria,," },
    });
}
