#include "driver/TempDir.h"
#include "hostsim/HostSimHarness.h"
#include "hostsim/Worksheets.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <turbojpeg.h>
#include <vector>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::uint32_t le32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return v;
}

std::uint16_t le16(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  int lightness(int x, int y) const {
    return (channel(x, y, 0) + channel(x, y, 1) + channel(x, y, 2)) / 3;
  }
  int chroma(int x, int y) const { // 0 for a grey
    auto [low, high] = std::minmax({channel(x, y, 0), channel(x, y, 1), channel(x, y, 2)});
    return high - low;
  }
  int channel(int x, int y, int c) const {
    return rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3 + c];
  }
};

// The whole picture in a JPEG file, or nothing when libjpeg-turbo cannot read all of it.
std::optional<Picture> decodeJpeg(const std::string& bytes) {
  std::unique_ptr<void, int (*)(tjhandle)> decoder(tjInitDecompress(), tjDestroy);
  auto data = reinterpret_cast<const unsigned char*>(bytes.data());
  Picture picture;
  int subsampling = 0, colourspace = 0;
  if (!decoder || tjDecompressHeader3(decoder.get(), data, bytes.size(), &picture.width,
                                      &picture.height, &subsampling, &colourspace) != 0)
    return std::nullopt;
  picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
  if (tjDecompress2(decoder.get(), data, bytes.size(), picture.rgb.data(), picture.width, 0,
                    picture.height, TJPF_RGB, 0) != 0)
    return std::nullopt;
  return picture;
}

std::pair<int, int> jpegSize(const std::string& bytes) {
  auto picture = decodeJpeg(bytes);
  EXPECT_TRUE(picture) << "not a readable JPEG";
  return picture ? std::make_pair(picture->width, picture->height) : std::make_pair(0, 0);
}

TEST(HostSimFramesTest, FramesAreRealJpegsCachedByRequest) {
  HostSimHarness bridge;
  auto first = bridge.get("/assets/k7f2qd/frames", {{"times", "1, 12.51,186.4"}});
  ASSERT_EQ(first.status, 200) << first.body.dump();
  EXPECT_EQ(first.body["durationSeconds"], 186.4);
  ASSERT_EQ(first.body["frames"].size(), 3u);
  std::set<std::string> paths;
  for (const auto& frame : first.body["frames"]) {
    double requested = frame["requestedSeconds"], actual = frame["actualSeconds"];
    EXPECT_LE(std::abs(actual - requested), 0.1);
    EXPECT_LE(actual, 186.4);
    // The portrait 1080x1920 sample scaled to the default width of at most 1280.
    EXPECT_EQ(frame["width"], 1080);
    EXPECT_EQ(frame["height"], 1920);
    EXPECT_EQ(jpegSize(driver::readFile(frame["path"].get<std::string>())),
              std::make_pair(1080, 1920));
    paths.insert(frame["path"]);
  }
  EXPECT_EQ(paths.size(), 3u);

  // The bar along the bottom shows how far into the video a frame lies: barely begun at 1 s,
  // complete at the end; the picture above it is in colour.
  auto early = decodeJpeg(driver::readFile(first.body["frames"][0]["path"].get<std::string>()));
  auto last = decodeJpeg(driver::readFile(first.body["frames"][2]["path"].get<std::string>()));
  ASSERT_TRUE(early && last);
  EXPECT_GT(early->lightness(0, 1919), 200);
  EXPECT_LT(early->lightness(1079, 1919), 100);
  EXPECT_GT(last->lightness(1079, 1919), 200);
  EXPECT_GT(early->chroma(0, 0), 30);
  EXPECT_GT(early->chroma(1079, 1750), 30);

  auto again = bridge.get("/assets/k7f2qd/frames", {{"t", "12.51"}});
  EXPECT_EQ(again.body["frames"][0]["path"], first.body["frames"][1]["path"]);
  EXPECT_TRUE(again.body["frames"][0]["cached"].get<bool>());

  auto narrow = bridge.get("/assets/m3x9wb/frames", {{"t", "0"}, {"maxWidth", "320"}});
  EXPECT_EQ(jpegSize(driver::readFile(narrow.body["frames"][0]["path"].get<std::string>())),
            std::make_pair(320, 180));
}

TEST(HostSimFramesTest, RefusesWhatCannotBeExtracted) {
  HostSimHarness bridge;
  std::string twentyOne;
  for (int i = 0; i < 21; ++i)
    twentyOne += (i ? "," : "") + std::to_string(i);
  for (httplib::Params params : std::vector<httplib::Params>{{{"t", "186.5"}},       // past the end
                                                             {{"times", twentyOne}}, // more than 20
                                                             {{"times", "1,,2"}},    // a hole
                                                             {{"t", "abc"}},         // not a number
                                                             {{"t", "-1"}}, // before the start
                                                             {{"t", "1"}, {"maxWidth", "1921"}},
                                                             {{"t", "1"}, {"maxWidth", "wide"}},
                                                             {}}) { // no time at all
    EXPECT_EQ(bridge.get("/assets/k7f2qd/frames", params).status, 400) << json(params).dump();
  }
  EXPECT_EQ(bridge.get("/assets/k7f2qd/frames", {{"times", twentyOne.substr(2)}}).status, 200);
  EXPECT_EQ(bridge.get("/assets/g5n1za/frames", {{"t", "1"}}).status, 400);
  EXPECT_EQ(bridge.get("/assets/nope00/frames", {{"t", "1"}}).status, 404);
}

TEST(HostSimAudioTest, WavAndM4aAreValidCachedFiles) {
  HostSimHarness bridge;
  auto wav = bridge.get("/assets/p8r4tn/audio", {{"format", "wav"}});
  ASSERT_EQ(wav.status, 200);
  std::string bytes = driver::readFile(wav.body["path"].get<std::string>());
  ASSERT_GT(bytes.size(), 44u);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
  EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(le16(bytes, 20), 1);     // PCM
  EXPECT_EQ(le16(bytes, 22), 1);     // mono
  EXPECT_EQ(le32(bytes, 24), 16000); // sample rate
  EXPECT_EQ(le16(bytes, 34), 16);    // bits per sample
  EXPECT_EQ(bytes.substr(36, 4), "data");
  EXPECT_EQ(le32(bytes, 40), bytes.size() - 44);
  EXPECT_LT(bytes.size(), 1u << 20) << "the stand-in keeps its audio small";

  auto m4a = bridge.get("/assets/p8r4tn/audio");
  ASSERT_EQ(m4a.status, 200);
  EXPECT_EQ(m4a.body["format"], "m4a");
  std::string mp4 = driver::readFile(m4a.body["path"].get<std::string>());
  EXPECT_EQ(mp4.substr(4, 8), "ftypM4A ");
  for (const char* box : {"moov", "mdat", "mp4a", "esds", "stsz", "stco"})
    EXPECT_NE(mp4.find(box), std::string::npos) << box;

  auto again = bridge.get("/assets/p8r4tn/audio", {{"format", "m4a"}});
  EXPECT_EQ(again.body["path"], m4a.body["path"]);
  EXPECT_TRUE(again.body["cached"].get<bool>());
}

TEST(HostSimAudioTest, RefusesRangesOtherFormatsLargeTracksAndNonVideos) {
  HostSimHarness bridge;
  EXPECT_EQ(bridge.get("/assets/p8r4tn/audio", {{"start", "5.0"}}).status, 400);
  EXPECT_EQ(bridge.get("/assets/p8r4tn/audio", {{"end", "9.0"}}).status, 400);
  EXPECT_EQ(bridge.get("/assets/p8r4tn/audio", {{"format", "mp3"}}).status, 400);
  // 45 minutes of 16 kHz PCM is past 50MB; the same track as 32 kbps AAC is not.
  EXPECT_EQ(bridge.get("/assets/d2h6yc/audio", {{"format", "wav"}}).status, 413);
  EXPECT_EQ(bridge.get("/assets/d2h6yc/audio").status, 200);
  EXPECT_EQ(bridge.get("/assets/t4w8mj/audio").status, 400);
  EXPECT_EQ(bridge.get("/assets/nope00/audio").status, 404);
}

TEST(HostSimWorksheetTest, ExportThenSettleRoundTrip) {
  HostSimHarness bridge;
  auto exported = bridge.get("/ai/export", {{"shortID", "k7f2qd"}});
  ASSERT_EQ(exported.status, 200);
  EXPECT_EQ(exported.body["shortID"], "k7f2qd");
  fs::path sheet = exported.body["path"].get<std::string>();
  std::string text = driver::readFile(sheet);
  EXPECT_NE(text.find("写回格式"), std::string::npos);
  EXPECT_NE(text.find("二荆条"), std::string::npos) << "the transcript is in the worksheet";
  EXPECT_NE(text.find("老码头钵钵鸡"), std::string::npos) << "so are the notes";
  EXPECT_TRUE(text.ends_with(std::string(kDeliverMarker) + "\n"));
  EXPECT_EQ(text.find(kDeliverMarker), text.rfind(kDeliverMarker)) << "the marker appears once";

  EXPECT_EQ(bridge.post("/ai/settle", json::object()).body,
            json::parse(R"({"recovered":0,"skipped":1,"failures":[]})"));
  EXPECT_TRUE(fs::exists(sheet));

  std::ofstream(sheet, std::ios::app) << "\n# 帮我写三条标题\n1. 一\n2. 二\n";
  EXPECT_EQ(bridge.post("/ai/settle", json::object()).body,
            json::parse(R"({"recovered":1,"skipped":0,"failures":[]})"));
  EXPECT_FALSE(fs::exists(sheet));
  auto note = bridge.get("/assets/k7f2qd").body["notes"].back();
  EXPECT_EQ(note["kind"], "ai_board");
  EXPECT_EQ(note["title"], "帮我写三条标题");
  EXPECT_EQ(note["content"], "1. 一\n2. 二〔AI 书写〕");
  EXPECT_EQ(bridge.post("/ai/settle", json::object()).body["recovered"], 0) << "collected once";
  EXPECT_EQ(bridge.get("/ai/export", {{"shortID", "nope00"}}).status, 404);
}

TEST(HostSimWorksheetTest, ProblemsStayAsFailuresWithTheirFiles) {
  HostSimHarness bridge;
  fs::path folder =
      fs::path(bridge.get("/ai/export", {{"shortID", "t6c1ko"}}).body["path"].get<std::string>())
          .parent_path();
  fs::path orphan = folder / "gone00-20240101-000000-abcd.md";
  std::ofstream(orphan) << "# 旧工作单\n" << kDeliverMarker << "\n交付内容\n";
  for (int i = 0; i < 50; ++i)
    bridge.post("/assets/p8r4tn/notes", {{"title", "t"}, {"content", std::to_string(i)}});
  fs::path full = folder / "p8r4tn-20240101-000000-abcd.md";
  std::ofstream(full) << kDeliverMarker << "\n交付内容\n";

  auto settled = bridge.post("/ai/settle", json::object()).body;
  EXPECT_EQ(settled["recovered"], 0);
  EXPECT_EQ(settled["skipped"], 1);
  ASSERT_EQ(settled["failures"].size(), 2u);
  EXPECT_EQ(settled["failures"][0]["shortID"], "gone00");
  EXPECT_EQ(settled["failures"][1]["shortID"], "p8r4tn");
  EXPECT_TRUE(fs::exists(orphan));
  EXPECT_TRUE(fs::exists(full));
}

TEST(HostSimTelemetryTest, ReportsAreKeptAndReadBack) {
  HostSimHarness bridge;
  json report = {
      {"tool", "get_asset"}, {"ok", true}, {"status", 200}, {"durMs", 12}, {"err", "none"}};
  EXPECT_EQ(bridge.post("/telemetry", report).status, 200);
  EXPECT_EQ(bridge.post("/telemetry", json::array()).status, 400);
  auto reports = bridge.get("/telemetry").body;
  ASSERT_EQ(reports["count"], 1);
  EXPECT_EQ(reports["reports"][0]["tool"], "get_asset");
  EXPECT_EQ(bridge.get("/events").body["cursor"], 0) << "reports are not library changes";
}

} // namespace
} // namespace vantrel::hostsim
