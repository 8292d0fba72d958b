#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

/** True for the performance messages that are forwarded from the host track to
    the chosen hardware output: notes, pitch bend, key and channel pressure, the
    sustain, sostenuto and soft pedals, all notes off and all sound off.

    Works on the raw bytes, so the audio thread builds no juce::MidiMessage.
*/
bool shouldForwardToOutput (const juce::uint8* data, int size) noexcept;
