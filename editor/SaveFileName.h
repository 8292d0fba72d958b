#pragma once

#include <juce_core/juce_core.h>

/** The file name a page may suggest for "fileDownload", reduced to one safe
    name inside the folder the dialog starts in: its last path component,
    without control characters or characters Windows forbids in names, not
    "." or "..", not a Windows device name (CON, NUL, COM1 ...), without
    trailing dots or spaces, and at most 200 characters (keeping the
    extension). Whatever is left empty becomes "lutewyrm.txt". Pure function.
*/
juce::String safeSaveFileName (const juce::String& suggestedName);
