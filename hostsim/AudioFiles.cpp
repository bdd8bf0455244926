#include "AudioFiles.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>

namespace vantrel::hostsim {
namespace {

void put16le(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32le(std::string& out, std::uint32_t v) {
  put16le(out, v & 0xFFFF);
  put16le(out, v >> 16);
}
void put16be(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
  out.push_back(static_cast<char>(v & 0xFF));
}
void put32be(std::string& out, std::uint32_t v) {
  put16be(out, v >> 16);
  put16be(out, v & 0xFFFF);
}

std::string box(std::string_view type, const std::string& payload) {
  std::string out;
  put32be(out, static_cast<std::uint32_t>(8 + payload.size()));
  out.append(type);
  out += payload;
  return out;
}

// A "full box": version 0 and no flags unless given.
std::string fullBox(std::string_view type, const std::string& payload, std::uint32_t flags = 0) {
  std::string head;
  put32be(head, flags & 0xFFFFFF);
  return box(type, head + payload);
}

std::string identityMatrix() {
  std::string out;
  for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
    put32be(out, v);
  return out;
}

// MPEG-4 descriptors with one-byte lengths; ours are all short.
std::string descriptor(std::uint8_t tag, const std::string& payload) {
  return std::string(1, static_cast<char>(tag)) + static_cast<char>(payload.size()) + payload;
}

std::string esds() {
  std::string specific = {0x14, 0x08}; // AAC-LC, 16 kHz (index 8), one channel
  std::string config;
  config.push_back(0x40); // MPEG-4 audio
  config.push_back(0x15); // audio stream
  config.append(3, '\0'); // buffer size
  put32be(config, 32000); // max bitrate
  put32be(config, 32000); // average bitrate
  config += descriptor(0x05, specific);
  std::string es;
  put16be(es, 1); // ES_ID
  es.push_back(0);
  es += descriptor(0x04, config);
  es += descriptor(0x06, std::string(1, 0x02));
  return fullBox("esds", descriptor(0x03, es));
}

} // namespace

std::string encodeToneWav(double seconds) {
  auto samples = static_cast<std::uint32_t>(std::max(0.0, seconds) * kAudioSampleRate);
  std::string out = "RIFF";
  put32le(out, 36 + samples * 2);
  out += "WAVEfmt ";
  put32le(out, 16);
  put16le(out, 1); // PCM
  put16le(out, 1); // mono
  put32le(out, kAudioSampleRate);
  put32le(out, kAudioSampleRate * 2);
  put16le(out, 2);
  put16le(out, 16);
  out += "data";
  put32le(out, samples * 2);
  const double fade = 0.02 * kAudioSampleRate;
  for (std::uint32_t i = 0; i < samples; ++i) {
    double envelope = std::min({1.0, i / fade, (samples - i) / fade});
    double value = 0.2 * envelope * std::sin(2 * std::numbers::pi * 440.0 * i / kAudioSampleRate);
    put16le(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(value * 32767))));
  }
  return out;
}

std::string encodeSilentM4a(double seconds) {
  static constexpr char kSilentFrame[] = {0x01, 0x18, 0x20, 0x07};
  static constexpr std::uint32_t kSamplesPerFrame = 1024;
  auto frames = static_cast<std::uint32_t>(
      std::max(1.0, std::ceil(seconds * kAudioSampleRate / kSamplesPerFrame)));
  std::uint32_t mediaDuration = frames * kSamplesPerFrame;
  auto movieDuration = static_cast<std::uint32_t>(
      std::llround(mediaDuration * 1000.0 / kAudioSampleRate)); // milliseconds

  std::string ftypPayload = "M4A ";
  put32be(ftypPayload, 0);
  ftypPayload += "M4A mp42isom";
  std::string ftyp = box("ftyp", ftypPayload);

  std::string samples;
  for (std::uint32_t i = 0; i < frames; ++i)
    samples.append(kSilentFrame, sizeof kSilentFrame);
  std::string mdat = box("mdat", samples);

  std::string mvhd;
  put32be(mvhd, 0);
  put32be(mvhd, 0);
  put32be(mvhd, 1000);
  put32be(mvhd, movieDuration);
  put32be(mvhd, 0x00010000); // rate 1.0
  put16be(mvhd, 0x0100);     // volume 1.0
  mvhd.append(10, '\0');
  mvhd += identityMatrix();
  mvhd.append(24, '\0');
  put32be(mvhd, 2); // next track ID

  std::string tkhd;
  put32be(tkhd, 0);
  put32be(tkhd, 0);
  put32be(tkhd, 1); // track ID
  put32be(tkhd, 0);
  put32be(tkhd, movieDuration);
  tkhd.append(8, '\0');
  put16be(tkhd, 0);      // layer
  put16be(tkhd, 1);      // alternate group
  put16be(tkhd, 0x0100); // volume
  put16be(tkhd, 0);
  tkhd += identityMatrix();
  put32be(tkhd, 0); // width
  put32be(tkhd, 0); // height

  std::string mdhd;
  put32be(mdhd, 0);
  put32be(mdhd, 0);
  put32be(mdhd, kAudioSampleRate);
  put32be(mdhd, mediaDuration);
  put16be(mdhd, 0x55C4); // "und"
  put16be(mdhd, 0);

  std::string hdlr;
  put32be(hdlr, 0);
  hdlr += "soun";
  hdlr.append(12, '\0');
  hdlr += std::string("SoundHandler") + '\0';

  std::string smhd(4, '\0');
  std::string dref;
  put32be(dref, 1);
  dref += fullBox("url ", "", 1); // media in this same file

  std::string mp4a(6, '\0');
  put16be(mp4a, 1); // data reference index
  mp4a.append(8, '\0');
  put16be(mp4a, 1);  // channels
  put16be(mp4a, 16); // sample size
  put32be(mp4a, 0);
  put32be(mp4a, static_cast<std::uint32_t>(kAudioSampleRate) << 16);
  mp4a += esds();
  std::string stsd;
  put32be(stsd, 1);
  stsd += box("mp4a", mp4a);

  std::string stts, stsc, stsz, stco;
  put32be(stts, 1);
  put32be(stts, frames);
  put32be(stts, kSamplesPerFrame);
  put32be(stsc, 1);
  put32be(stsc, 1);
  put32be(stsc, frames);
  put32be(stsc, 1);
  // Every frame has the same size, but simple readers expect the table anyway.
  put32be(stsz, 0);
  put32be(stsz, frames);
  for (std::uint32_t i = 0; i < frames; ++i)
    put32be(stsz, sizeof kSilentFrame);
  put32be(stco, 1);
  put32be(stco, static_cast<std::uint32_t>(ftyp.size() + 8)); // first sample, after mdat's header

  std::string stbl = fullBox("stsd", stsd) + fullBox("stts", stts) + fullBox("stsc", stsc) +
                     fullBox("stsz", stsz) + fullBox("stco", stco);
  std::string minf = fullBox("smhd", smhd) + box("dinf", fullBox("dref", dref)) + box("stbl", stbl);
  std::string mdia = fullBox("mdhd", mdhd) + fullBox("hdlr", hdlr) + box("minf", minf);
  std::string trak = fullBox("tkhd", tkhd, 0x000007) + box("mdia", mdia);
  std::string moov = box("moov", fullBox("mvhd", mvhd) + box("trak", trak));
  return ftyp + mdat + moov;
}

} // namespace vantrel::hostsim
