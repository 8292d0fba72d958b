#pragma once

#include <juce_core/juce_core.h>

#include <array>
#include <bitset>

//==============================================================================
/** The notes an output is sounding: note-ons sent to it and not yet released,
    per channel and note.

    A fixed table, so keeping it up to date and releasing it never allocate.
    Not thread-safe: its owner serialises every call.
*/
class HeldNotes
{
public:
    /** Records a message just sent to the output. */
    void noteSent (const juce::uint8* bytes, int size) noexcept
    {
        if (size < 2)
            return;

        const auto kind = bytes[0] & 0xf0;
        const auto channel = (size_t) (bytes[0] & 0x0f);
        const auto note = (size_t) (bytes[1] & 0x7f);

        if (kind == 0x90 && size >= 3 && bytes[2] != 0)
            held[channel].set (note);
        else if (kind == 0x80 || kind == 0x90)
            held[channel].reset (note);
    }

    bool isEmpty() const noexcept
    {
        for (auto& channel : held)
            if (channel.any())
                return false;

        return true;
    }

    /** Passes a note-off for every held note to send(bytes, size), then "all
        notes off" (controller 123) on each channel that had one; the table is
        empty afterwards. A synth that stacks repeated note-ons, or missed a
        message, is silenced by the controller.
    */
    template <typename Send>
    void releaseAll (Send&& send)
    {
        for (size_t channel = 0; channel < held.size(); ++channel)
        {
            if (held[channel].none())
                continue;

            for (size_t note = 0; note < 128; ++note)
            {
                if (held[channel].test (note))
                {
                    const juce::uint8 noteOff[] { (juce::uint8) (0x80 | channel), (juce::uint8) note, 0 };
                    send (noteOff, 3);
                }
            }

            const juce::uint8 allNotesOff[] { (juce::uint8) (0xb0 | channel), 123, 0 };
            send (allNotesOff, 3);
            held[channel].reset();
        }
    }

private:
    std::array<std::bitset<128>, 16> held;
};
