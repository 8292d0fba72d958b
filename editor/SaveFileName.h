#pragma once

#include <juce_core/juce_core.h>

/** The file name a page may suggest for "fileDownload", reduced to one safe,
    visible name inside the folder the dialog starts in:
    - its last path component only;
    - without control characters, the characters Windows forbids in names,
      and the invisible and bidirectional formatting characters that would
      make the name look like another (U+202E can show "txt.bat" as "tab.txt");
    - no leading dots (no hidden file, and never "." or ".."), no trailing
      dots or spaces;
    - not a Windows device name (CON, NUL, COM1, COM¹, CONIN$ ...);
    - at most 200 characters and 255 bytes of UTF-8 (the name limit of Linux
      file systems; Windows counts UTF-16 units, never more than those
      bytes), cut before the extension so that the extension stays.
    Whatever is left empty becomes "lutewyrm.txt". Pure function.
*/
juce::String safeSaveFileName (const juce::String& suggestedName);

/** The folder the save dialog starts in: the desktop, unless it is missing
    or hidden (a dot folder) or is the home folder itself (XDG_DESKTOP_DIR
    set to $HOME); then the documents folder under the same rule; then home.
*/
juce::File saveDialogFolder();
