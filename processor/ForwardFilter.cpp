#include "ForwardFilter.h"

bool shouldForwardToOutput (const juce::MidiMessage& m) noexcept
{
    // A message cut shorter than its status byte promises cannot be sent as
    // intended, and the predicates below would read bytes it does not have.
    if (m.getRawDataSize() < juce::MidiMessage::getMessageLengthFromFirstByte (m.getRawData()[0]))
        return false;

    return m.isNoteOnOrOff()
        || m.isPitchWheel()
        || m.isAftertouch()
        || m.isChannelPressure()
        || m.isSustainPedalOn()   || m.isSustainPedalOff()
        || m.isSostenutoPedalOn() || m.isSostenutoPedalOff()
        || m.isSoftPedalOn()      || m.isSoftPedalOff()
        || m.isAllNotesOff()
        || m.isAllSoundOff();
}
