#pragma once

#include <string>

namespace vantrel::hostsim {

inline constexpr int kAudioSampleRate = 16000;

// RIFF/WAVE, PCM 16-bit, 16 kHz, mono: `seconds` of a soft 440 Hz tone. Written by hand: the
// format is a 44-byte header before the samples, less code than linking a library for it.
std::string encodeToneWav(double seconds);

// An M4A (MP4 audio) file with one AAC-LC track, 16 kHz mono, advertised at 32 kbps, holding
// `seconds` of silence. Silent AAC frames are a fixed 4-byte pattern, which spares us an
// encoder.
std::string encodeSilentM4a(double seconds);

} // namespace vantrel::hostsim
