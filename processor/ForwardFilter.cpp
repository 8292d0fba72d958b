#include "ForwardFilter.h"

bool shouldForwardToOutput (const juce::uint8* data, int size) noexcept
{
    if (size < 1)
        return false;

    // A message cut shorter than its status byte promises cannot be sent as
    // intended, and the tests below would read bytes it does not have.
    if (size < juce::MidiMessage::getMessageLengthFromFirstByte (data[0]))
        return false;

    switch (data[0] & 0xf0)
    {
        case 0x80:      // note off
        case 0x90:      // note on, velocity 0 included
        case 0xa0:      // key pressure
        case 0xd0:      // channel pressure
        case 0xe0:      // pitch bend
            return true;

        case 0xb0:      // only the pedals and the two "off" controllers, any value
        {
            const auto controller = data[1];
            return controller == 64 || controller == 66 || controller == 67
                || controller == 120 || controller == 123;
        }

        default:
            return false;
    }
}
