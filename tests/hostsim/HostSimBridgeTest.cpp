// Labels: concurrency
#include "driver/Descriptors.h"
#include "driver/TempDir.h"
#include "hostsim/HostSimHarness.h"
#include "support/FakeBridge.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i)
    out += piece;
  return out;
}

std::vector<std::string> ids(const json& search) {
  std::vector<std::string> out;
  for (const auto& asset : search["assets"])
    out.push_back(asset["shortID"]);
  return out;
}

TEST(HostSimAuthTest, EveryRequestNeedsTheBearerToken) {
  HostSimHarness bridge;
  for (std::string token : {std::string(), std::string("wrong"), bridge.sim().token() + "x"}) {
    auto answer = HostSimHarness::answer(bridge.makeClient(token)->Get("/assets"));
    EXPECT_EQ(answer.status, 401) << token;
    EXPECT_TRUE(answer.body.contains("error"));
  }
  auto unknownRoute = HostSimHarness::answer(bridge.makeClient("")->Get("/nothing"));
  EXPECT_EQ(unknownRoute.status, 401);
  EXPECT_EQ(bridge.get("/assets").status, 200);
  EXPECT_EQ(bridge.get("/nothing").status, 404);
}

TEST(HostSimLifecycleTest, TokenFileIsWrittenWholeAndRemovedOnStop) {
  HostSimHarness bridge;
  fs::path token = bridge.sim().tokenPath();
  EXPECT_EQ(token.parent_path().filename(), "com.quillmoor.vantrel");
  std::ifstream in(token);
  json credentials = json::parse(in);
  EXPECT_EQ(credentials["port"], bridge.sim().port());
  EXPECT_EQ(credentials["token"], bridge.sim().token());
  EXPECT_EQ(bridge.sim().token().size(), 32u);
  struct stat info {};
  ASSERT_EQ(::stat(token.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600) << "the token is a secret";
  for (const auto& entry : fs::directory_iterator(token.parent_path()))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << "temp file left behind";
  fs::path guide = token.parent_path() / "agent-guide.md";
  ASSERT_TRUE(fs::exists(guide));

  bridge.sim().stop();
  EXPECT_FALSE(fs::exists(token));
  EXPECT_TRUE(fs::exists(guide));
}

// The app (or anyone) may write bridge.token while the stand-in runs: stopping removes the file
// only while it still holds the stand-in's own token, whatever else it holds.
TEST(HostSimLifecycleTest, StoppingLeavesAnotherAppsTokenAndTheUsersGuideAlone) {
  for (std::string replacement :
       {std::string(R"({"port":4242,"token":"the app's"})"),
        std::string(R"({"port":4242,"token":5})"), std::string("not json")}) {
    HostSimHarness first;
    fs::path guide = first.sim().bundleDir() / "agent-guide.md";
    std::ofstream(guide) << "用户改过的规范";
    std::ofstream(first.sim().tokenPath()) << replacement;

    first.sim().stop();
    EXPECT_EQ(driver::readFile(first.sim().tokenPath()), replacement);
    EXPECT_EQ(driver::readFile(guide), "用户改过的规范");
  }
}

// What a bridge.token left in the folder names, in either place the server reads: a Bridge that
// answers (with any status) owns the folder; a port that refuses or stays silent, or a damaged
// file, was left by an app that has gone, and the stand-in takes the folder over.
TEST(HostSimLifecycleTest, StartingRefusesAFolderWhoseTokenNamesABridgeThatAnswers) {
  enum class Left { answering, silent, refusing, damaged };
  struct Case {
    const char* what;
    Left left;
    bool inBundle;
    bool refused;
  };
  for (const auto& [what, left, inBundle, refused] : {
           Case{"a Bridge that answers 500", Left::answering, true, true},
           Case{"the same, in the support folder itself", Left::answering, false, true},
           Case{"a port nobody listens on", Left::refusing, true, false},
           Case{"a port whose listener never answers", Left::silent, true, false},
           Case{"a damaged file", Left::damaged, true, false},
       }) {
    driver::TempDir support("hostsim-test");
    testing::FakeBridge app;
    app.on("GET", "/events",
           left == Left::silent ? testing::Reply{.delay = 600s} : testing::Reply{.status = 500});
    int port = left == Left::refusing ? driver::unusedPort() : app.port();
    std::string text = left == Left::damaged
                           ? R"({"port":")" + std::to_string(port) + R"(","token":"t"})"
                           : json{{"port", port}, {"token", "t"}}.dump();
    fs::path leftFile =
        inBundle ? support / "com.quillmoor.vantrel" / "bridge.token" : support / "bridge.token";
    fs::create_directories(leftFile.parent_path());
    std::ofstream(leftFile) << text;

    auto started = HostSim::start({support.path(), std::nullopt, 0});
    if (auto* error = std::get_if<std::string>(&started); refused) {
      EXPECT_TRUE(error) << what << ": started";
      if (!error)
        continue;
      EXPECT_NE(error->find("127.0.0.1:" + std::to_string(port)), std::string::npos) << *error;
      EXPECT_NE(error->find("--support-dir"), std::string::npos) << *error;
      EXPECT_EQ(driver::readFile(leftFile), text) << what;
      EXPECT_FALSE(fs::exists(support / "com.quillmoor.vantrel" / "agent-guide.md")) << what;
    } else if (error) {
      ADD_FAILURE() << what << ": " << *error;
    } else {
      auto& sim = std::get<std::unique_ptr<HostSim>>(started);
      std::ifstream in(sim->tokenPath());
      EXPECT_EQ(json::parse(in)["token"], sim->token()) << what;
    }
  }
}

TEST(HostSimSearchTest, FiltersMatchKindTagNotesAndFullText) {
  HostSimHarness bridge;
  EXPECT_EQ(bridge.get("/assets").body["total"], 8);
  EXPECT_EQ(bridge.get("/assets", {{"mediaKind", "image"}}).body["total"], 2);
  EXPECT_EQ(ids(bridge.get("/assets", {{"tag", "樱花"}}).body), std::vector<std::string>{"g5n1za"});
  EXPECT_EQ(bridge.get("/assets", {{"tag", "樱"}}).body["total"], 0) << "tags match exactly";
  EXPECT_EQ(bridge.get("/assets", {{"hasNotes", "true"}}).body["total"], 4);
  // Words found only in a transcript, only in a note, and in two places at once.
  EXPECT_EQ(ids(bridge.get("/assets", {{"query", "二荆条"}}).body),
            std::vector<std::string>{"k7f2qd"});
  EXPECT_EQ(ids(bridge.get("/assets", {{"query", "小红书标题"}}).body),
            std::vector<std::string>{"g5n1za"});
  EXPECT_EQ(ids(bridge.get("/assets", {{"query", "冰粉 钵钵鸡"}}).body),
            std::vector<std::string>{"k7f2qd"});
  auto summary = bridge.get("/assets", {{"query", "手冲"}}).body["assets"][0];
  EXPECT_EQ(summary, json::parse(R"({"shortID":"m3x9wb","displayTitle":"三分钟学会手冲咖啡",
      "mediaKind":"video","tags":["咖啡","教程","生活"],"noteCount":1})"));
}

TEST(HostSimSearchTest, PagingSortingAndLimits) {
  HostSimHarness bridge;
  auto newestFirst = ids(bridge.get("/assets").body);
  EXPECT_EQ(newestFirst.front(), "d2h6yc");
  auto oldestFirst = ids(bridge.get("/assets", {{"ascending", "true"}}).body);
  EXPECT_EQ(oldestFirst, std::vector<std::string>(newestFirst.rbegin(), newestFirst.rend()));

  auto page = bridge.get("/assets", {{"limit", "3"}, {"offset", "6"}, {"ascending", "true"}});
  EXPECT_EQ(page.body["total"], 8);
  EXPECT_EQ(ids(page.body), std::vector<std::string>(oldestFirst.begin() + 6, oldestFirst.end()));
  EXPECT_EQ(bridge.get("/assets", {{"offset", "50"}}).body["assets"].size(), 0u);
  EXPECT_EQ(bridge.get("/assets", {{"limit", "1000"}}).body["limit"], 200);

  for (auto [key, value] : std::vector<std::pair<std::string, std::string>>{{"limit", "0"},
                                                                            {"limit", "-1"},
                                                                            {"limit", "20.5"},
                                                                            {"limit", "abc"},
                                                                            {"offset", "-3"},
                                                                            {"mediaKind", "audio"},
                                                                            {"sortKey", "size"},
                                                                            {"hasNotes", "yes"}}) {
    EXPECT_EQ(bridge.get("/assets", {{key, value}}).status, 400) << key << "=" << value;
  }
}

TEST(HostSimAssetTest, DetailShowsTranscriptOnlyWhenThereIsOneAndOrdersNotes) {
  HostSimHarness bridge;
  auto withTranscript = bridge.get("/assets/k7f2qd").body;
  EXPECT_EQ(withTranscript["transcriptSource"], "tencent_cloud");
  EXPECT_TRUE(withTranscript["transcriptText"].is_string());
  EXPECT_EQ(withTranscript["durationSeconds"], 186.4);
  EXPECT_TRUE(fs::path(withTranscript["videoPath"].get<std::string>()).is_absolute());
  EXPECT_FALSE(withTranscript["_guide"].empty());

  auto without = bridge.get("/assets/p8r4tn").body;
  EXPECT_FALSE(without.contains("transcriptText"));
  EXPECT_NE(without["_guide"].dump().find("extract_audio"), std::string::npos);

  auto gallery = bridge.get("/assets/g5n1za").body;
  ASSERT_EQ(gallery["images"].size(), 4u);
  for (const auto& image : gallery["images"])
    EXPECT_TRUE(fs::exists(image.get<std::string>()));

  // An untimed note written first still shows after the timed ones.
  ASSERT_EQ(bridge.post("/assets/p8r4tn/notes", {{"title", "总结"}, {"content", "云海"}}).status,
            200);
  bridge.post("/assets/p8r4tn/notes",
              {{"timestamp", 50}, {"time_source", "frame"}, {"content", "b"}});
  bridge.post("/assets/p8r4tn/notes",
              {{"timestamp", 5}, {"time_source", "frame"}, {"content", "a"}});
  auto notes = bridge.get("/assets/p8r4tn").body["notes"];
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0]["timestamp"], 5);
  EXPECT_EQ(notes[1]["timestamp"], 50);
  EXPECT_EQ(notes[2]["kind"], "ai_board");

  EXPECT_EQ(bridge.get("/assets/nope00").status, 404);
}

TEST(HostSimTranscriptTest, CloudTranscriptNeedsOverwriteAndLimitsApply) {
  HostSimHarness bridge;
  EXPECT_EQ(bridge.post("/assets/k7f2qd/transcript", {{"text", "新转写"}}).status, 409);
  EXPECT_EQ(bridge.get("/assets/k7f2qd").body["transcriptSource"], "tencent_cloud");
  EXPECT_EQ(
      bridge.post("/assets/k7f2qd/transcript", {{"text", "新转写"}, {"overwrite", true}}).status,
      200);
  EXPECT_EQ(bridge.get("/assets/k7f2qd").body["transcriptText"], "新转写");
  // Once the agent's own transcript is there, later writes simply replace it.
  EXPECT_EQ(bridge.post("/assets/k7f2qd/transcript", {{"text", "再一次"}}).status, 200);

  auto overwriteInQuery =
      HostSimHarness::answer(bridge.makeClient(bridge.sim().token())
                                 ->Post("/assets/k7f2qd/transcript?overwrite=true",
                                        R"({"text":"x"})", "application/json"));
  EXPECT_EQ(overwriteInQuery.status, 200);

  std::string longest = repeated("字", 30000);
  EXPECT_EQ(bridge.post("/assets/p8r4tn/transcript", {{"text", longest}}).status, 200)
      << "the limit counts characters, not bytes";
  EXPECT_EQ(bridge.post("/assets/p8r4tn/transcript", {{"text", longest + "多"}}).status, 413);
  EXPECT_EQ(bridge.post("/assets/p8r4tn/transcript", {{"text", " \n\t　"}}).status, 400);
  EXPECT_EQ(bridge.post("/assets/p8r4tn/transcript", json::object()).status, 400);
  EXPECT_EQ(bridge.post("/assets/g5n1za/transcript", {{"text", "图片"}}).status, 400);
  EXPECT_EQ(bridge.post("/assets/nope00/transcript", {{"text", "x"}}).status, 404);
}

TEST(HostSimNoteTest, KindsNeedTheirMembers) {
  HostSimHarness bridge;
  auto add = [&](json body) { return bridge.post("/assets/k7f2qd/notes", body).status; };
  EXPECT_EQ(add({{"content", "x"}, {"timestamp", 3}}), 400) << "observation without time_source";
  EXPECT_EQ(add({{"content", "x"}, {"timestamp", 3}, {"time_source", "guess"}}), 400);
  EXPECT_EQ(add({{"content", "x"}, {"timestamp", "3"}, {"time_source", "frame"}}), 400);
  EXPECT_EQ(add({{"content", "x"}, {"timestamp", 186.5}, {"time_source", "frame"}}), 400)
      << "past the end of the video";
  EXPECT_EQ(add({{"content", "x"}, {"kind", "observation"}, {"time_source", "frame"}}), 400);
  auto missingTitle = bridge.post("/assets/k7f2qd/notes", {{"content", "总结"}});
  EXPECT_EQ(missingTitle.status, 400);
  EXPECT_NE(missingTitle.body["error"].get<std::string>().find("title"), std::string::npos);
  EXPECT_EQ(add({{"title", "t"}}), 400) << "content is required";
  EXPECT_EQ(add({{"title", "t"}, {"content", "x"}, {"kind", "memo"}}), 400);
  EXPECT_EQ(bridge
                .post("/assets/t4w8mj/notes",
                      {{"content", "x"}, {"timestamp", 1}, {"time_source", "frame"}})
                .status,
            400)
      << "observations belong to videos";

  auto observation = bridge.post("/assets/k7f2qd/notes", {{"content", "画面"},
                                                          {"timestamp", 186.4},
                                                          {"time_source", "transcript"},
                                                          {"client", "claude"}});
  ASSERT_EQ(observation.status, 200);
  EXPECT_EQ(observation.body["note"]["kind"], "observation");
  EXPECT_EQ(observation.body["note"]["content"], "画面") << "observations get no marker";
  EXPECT_EQ(observation.body["note"]["client"], "claude");
  auto board =
      bridge.post("/assets/k7f2qd/notes", {{"content", "总结〔AI 书写〕"}, {"title", "t"}});
  EXPECT_EQ(board.body["note"]["content"], "总结〔AI 书写〕") << "the marker is not doubled";
  EXPECT_EQ(bridge.post("/assets/k7f2qd/notes", {{"content", "b"}, {"title", "t"}})
                .body["note"]["content"],
            "b〔AI 书写〕");
  EXPECT_EQ(bridge.get("/assets/k7f2qd").body["noteCount"], 5);
}

// Blank means Unicode White_Space at either end, as everywhere else in the project: a no-break
// space or a line separator is as blank as an ASCII space.
TEST(HostSimTextTest, BlankMeansUnicodeWhiteSpaceAtEitherEnd) {
  HostSimHarness bridge;
  const std::string blanks = "\u00A0\u2028\u3000 \u2029";
  auto note = [&](const json& body) { return bridge.post("/assets/k7f2qd/notes", body); };
  EXPECT_EQ(note({{"title", "t"}, {"content", blanks}}).status, 400);
  EXPECT_EQ(note({{"title", blanks}, {"content", "x"}}).status, 400)
      << "an ai_board note needs a title";
  auto trimmed = note({{"title", blanks + "标题" + blanks}, {"content", "x"}});
  ASSERT_EQ(trimmed.status, 200);
  EXPECT_EQ(trimmed.body["note"]["title"], "标题");
  EXPECT_EQ(bridge.post("/assets/p8r4tn/transcript", {{"text", blanks}}).status, 400);
  EXPECT_EQ(ids(bridge.get("/assets", {{"query", blanks + "二荆条" + blanks}}).body),
            std::vector<std::string>{"k7f2qd"});
}

TEST(HostSimNoteTest, LongContentIsCutAtTwoThousandCharactersAndMarked) {
  HostSimHarness bridge;
  auto answer =
      bridge.post("/assets/k7f2qd/notes",
                  {{"content", repeated("长", 2001)}, {"timestamp", 1}, {"time_source", "frame"}});
  ASSERT_EQ(answer.status, 200);
  EXPECT_TRUE(answer.body["truncated"].get<bool>());
  EXPECT_EQ(answer.body["note"]["content"], repeated("长", 2000) + "〔AI 书写〕");
  auto exact =
      bridge.post("/assets/k7f2qd/notes",
                  {{"content", repeated("长", 2000)}, {"timestamp", 1}, {"time_source", "frame"}});
  EXPECT_FALSE(exact.body["truncated"].get<bool>());
  EXPECT_EQ(exact.body["note"]["content"], repeated("长", 2000));
}

TEST(HostSimNoteTest, FiftyNotesPerCardAtMostEvenForConcurrentWriters) {
  HostSimHarness bridge;
  std::atomic<int> accepted = 0;
  std::vector<std::thread> writers;
  for (int w = 0; w < 8; ++w) {
    writers.emplace_back([&, w] {
      auto client = bridge.makeClient(bridge.sim().token());
      for (int i = 0; i < 10; ++i) {
        json body = {{"title", "t"}, {"content", std::to_string(w * 100 + i)}};
        auto reply = client->Post("/assets/p8r4tn/notes", body.dump(), "application/json");
        if (reply && reply->status == 200)
          ++accepted;
      }
    });
  }
  for (auto& writer : writers)
    writer.join();
  EXPECT_EQ(accepted, 50);
  EXPECT_EQ(bridge.get("/assets/p8r4tn").body["noteCount"], 50);
  EXPECT_EQ(bridge.get("/events").body["cursor"], 50);
  // The refusal tells the agent where to read the notes there are.
  auto refused = bridge.post("/assets/p8r4tn/notes", {{"title", "t"}, {"content", "51"}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_NE(refused.body["error"].get<std::string>().find("get_asset"), std::string::npos);
}

TEST(HostSimEventTest, CursorAndTruncation) {
  HostSimHarness bridge;
  auto empty = bridge.get("/events").body;
  EXPECT_EQ(empty, json::parse(R"({"cursor":0,"truncated":false,"events":[]})"));

  bridge.post("/assets/m3x9wb/transcript", {{"text", "转写"}});
  auto one = bridge.get("/events").body;
  ASSERT_EQ(one["events"].size(), 1u);
  EXPECT_EQ(one["events"][0]["type"], "transcript_saved");
  EXPECT_EQ(one["events"][0]["shortID"], "m3x9wb");
  EXPECT_FALSE(one["events"][0]["summary"].get<std::string>().find("转写") == std::string::npos);
  EXPECT_EQ(bridge.get("/events", {{"since", "1"}}).body["events"].size(), 0u);

  for (int i = 0; i < 209; ++i)
    bridge.post("/assets/t6c1ko/notes", {{"title", "t"}, {"content", std::to_string(i)}});
  // 50 notes fit; the rest are refused and leave no event.
  auto after = bridge.get("/events", {{"since", "1"}}).body;
  EXPECT_EQ(after["cursor"], 51);
  EXPECT_EQ(after["events"].size(), 50u);
  EXPECT_FALSE(after["truncated"].get<bool>());

  for (int i = 0; i < 160; ++i)
    bridge.post("/assets/m3x9wb/transcript", {{"text", "再转写"}});
  auto full = bridge.get("/events").body;
  EXPECT_EQ(full["cursor"], 211);
  EXPECT_EQ(full["events"].size(), 200u);
  EXPECT_EQ(full["events"][0]["cursor"], 12);
  EXPECT_TRUE(full["truncated"].get<bool>());
  EXPECT_TRUE(bridge.get("/events", {{"since", "10"}}).body["truncated"].get<bool>());
  auto recent = bridge.get("/events", {{"since", "11"}}).body;
  EXPECT_FALSE(recent["truncated"].get<bool>());
  EXPECT_EQ(recent["events"].size(), 200u);
  auto fromBeforeARestart = bridge.get("/events", {{"since", "5000"}}).body;
  EXPECT_TRUE(fromBeforeARestart["truncated"].get<bool>());
  EXPECT_EQ(fromBeforeARestart["events"].size(), 200u);
  EXPECT_EQ(bridge.get("/events", {{"since", "abc"}}).status, 400);
}

TEST(HostSimImportTest, LinksAreDeduplicatedAndTagsRefused) {
  HostSimHarness bridge;
  auto first = bridge.post("/assets/import-link",
                           {{"url", "7.9 复制打开抖音 https://v.douyin.com/iAbC12/ 看看"}});
  ASSERT_EQ(first.status, 200);
  EXPECT_FALSE(first.body["alreadyImported"].get<bool>());
  EXPECT_EQ(first.body["mediaKind"], "video");
  EXPECT_GT(first.body["durationSeconds"].get<double>(), 0);
  auto again = bridge.post("/assets/import-link", {{"url", "https://v.douyin.com/iAbC12"}});
  EXPECT_TRUE(again.body["alreadyImported"].get<bool>());
  EXPECT_EQ(again.body["shortID"], first.body["shortID"]);
  EXPECT_EQ(bridge.get("/assets").body["total"], 9);
  EXPECT_EQ(bridge.get("/events").body["events"].size(), 1u);

  EXPECT_EQ(
      bridge.post("/assets/import-link", {{"url", "https://b23.tv/x"}, {"tags", {"a"}}}).status,
      400);
  EXPECT_EQ(bridge.post("/assets/import-link", {{"title", "无链接"}}).status, 400);
  EXPECT_EQ(bridge.post("/assets/import-link", {{"url", "https://example.com/v"}}).status, 400);
}

class HostSimFileImportTest : public ::testing::Test {
protected:
  fs::path write(const std::string& name, const std::string& bytes) {
    return folder_.write(name, bytes);
  }
  driver::TempDir folder_{"hostsim-test"};
  HostSimHarness bridge_;
};

TEST_F(HostSimFileImportTest, FilesAreCopiedIntoTheLibraryByKind) {
  fs::path photo = write("猫.jpg", "not really a jpeg");
  auto image = bridge_.post("/assets/import-file", {{"path", photo.string()}});
  ASSERT_EQ(image.status, 200);
  EXPECT_EQ(image.body["mediaKind"], "image");
  EXPECT_EQ(image.body["title"], "猫.jpg");
  fs::path copy = image.body["images"][0].get<std::string>();
  EXPECT_NE(copy, photo);
  EXPECT_EQ(driver::readFile(copy), "not really a jpeg");
  auto twice = bridge_.post("/assets/import-file", {{"path", photo.string()}, {"title", "又一只"}});
  EXPECT_NE(twice.body["shortID"], image.body["shortID"]) << "files are not de-duplicated";
  EXPECT_EQ(twice.body["title"], "又一只");

  auto video = bridge_.post("/assets/import-file", {{"path", write("clip.MOV", "????").string()}});
  EXPECT_EQ(video.body["mediaKind"], "video");
  EXPECT_TRUE(fs::exists(video.body["videoPath"].get<std::string>()));

  EXPECT_EQ(bridge_.post("/assets/import-file", {{"path", write("a.txt", "x").string()}}).status,
            400);
  EXPECT_EQ(bridge_.post("/assets/import-file", {{"path", (folder_ / "gone.mp4").string()}}).status,
            400);
  EXPECT_EQ(bridge_.post("/assets/import-file", {{"path", "relative.jpg"}}).status, 400);
  EXPECT_EQ(bridge_.post("/assets/import-file", {{"path", photo.string()}, {"tags", json::array()}})
                .status,
            400);
}

TEST_F(HostSimFileImportTest, FilesOverTwoGigabytesAre413BeforeAnyCopy) {
  fs::path huge = folder_ / "huge.mp4";
  driver::makeSparseFile(huge, (2ull << 30) + 1);
  auto answer = bridge_.post("/assets/import-file", {{"path", huge.string()}});
  EXPECT_EQ(answer.status, 413);
  EXPECT_EQ(bridge_.get("/assets").body["total"], 8);
}

TEST_F(HostSimFileImportTest, GalleriesTakeOneToHundredImagesAndIgnoreTheDescription) {
  json paths = {write("b.png", "1").string(), write("a.heic", "2").string()};
  auto gallery =
      bridge_.post("/assets/create-gallery", {{"paths", paths}, {"description", "正文"}});
  ASSERT_EQ(gallery.status, 200);
  EXPECT_EQ(gallery.body["title"], "b.png");
  EXPECT_EQ(gallery.body["assetDescription"], "");
  ASSERT_EQ(gallery.body["images"].size(), 2u);
  EXPECT_NE(gallery.body["images"][0].get<std::string>().find("b.png"), std::string::npos);

  json many = json::array();
  for (int i = 0; i < 101; ++i)
    many.push_back(paths[0]);
  EXPECT_EQ(bridge_.post("/assets/create-gallery", {{"paths", many}}).status, 400);
  many.erase(many.begin());
  EXPECT_EQ(bridge_.post("/assets/create-gallery", {{"paths", many}}).status, 200);
  json withVideo = {paths[0], write("v.mp4", "x").string()};
  EXPECT_EQ(bridge_.post("/assets/create-gallery", {{"paths", withVideo}}).status, 400);
  EXPECT_EQ(bridge_.post("/assets/create-gallery", {{"paths", json::array()}}).status, 400);
  EXPECT_EQ(bridge_.post("/assets/create-gallery", {{"paths", paths}, {"tags", {"x"}}}).status,
            400);
}

TEST(HostSimPersistenceTest, DataFolderKeepsChangesAcrossInstances) {
  driver::TempDir dataDir("hostsim-test");
  const fs::path& data = dataDir.path();
  std::string imported;
  {
    HostSimHarness first(data);
    ASSERT_EQ(first.post("/assets/k7f2qd/notes", {{"title", "留下"}, {"content", "持久"}}).status,
              200);
    imported = first.post("/assets/import-link", {{"url", "https://b23.tv/keep"}}).body["shortID"];
  }
  {
    HostSimHarness second(data);
    auto card = second.get("/assets/k7f2qd").body;
    EXPECT_EQ(card["notes"].back()["title"], "留下");
    EXPECT_EQ(second.get("/assets/" + imported).status, 200);
    EXPECT_TRUE(second.post("/assets/import-link", {{"url", "https://b23.tv/keep"}})
                    .body["alreadyImported"]
                    .get<bool>());
  }
  {
    HostSimHarness inMemory;
    EXPECT_EQ(inMemory.get("/assets/k7f2qd").body["noteCount"], 2) << "no --data: the sample";
  }
  std::ofstream(data / "library.json") << "{ damaged";
  driver::TempDir support("hostsim-test");
  auto refused = HostSim::start({support.path(), data, 0});
  EXPECT_TRUE(std::holds_alternative<std::string>(refused)) << "a damaged library is not replaced";
  EXPECT_EQ(driver::readFile(data / "library.json"), "{ damaged");
}

} // namespace
} // namespace vantrel::hostsim
