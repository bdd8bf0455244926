#include "bridge/AgentGuideReader.h"

#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel::bridge {
namespace {

const std::string kNotFound =
    "未找到指导文档。砚舟 app 首次启动会生成 agent-guide.md；请先启动砚舟。";

class AgentGuideReaderTest : public ::testing::Test {
protected:
  void SetUp() override { dir_.applyToThisProcess(); }
  vantrel::testing::SupportDir dir_;
};

TEST_F(AgentGuideReaderTest, NeitherPlaceHoldsTheGuide) {
  EXPECT_EQ(AgentGuideReader::load(), kNotFound);
}

TEST_F(AgentGuideReaderTest, BundleFolderFirstTextExactlyAsStored) {
  const std::string guide = "\xEF\xBB\xBF# 指南\r\n\n  trailing spaces  \n\n";
  dir_.writeFile("agent-guide.md", guide, /*inBundle=*/true);
  dir_.writeFile("agent-guide.md", "other", /*inBundle=*/false);
  EXPECT_EQ(AgentGuideReader::load(), guide);
}

TEST_F(AgentGuideReaderTest, OnlySupportDirectoryHoldsIt) {
  dir_.writeFile("agent-guide.md", "# direct", /*inBundle=*/false);
  EXPECT_EQ(AgentGuideReader::load(), "# direct");
}

TEST_F(AgentGuideReaderTest, UnreadableBundleCopyFallsThrough) {
  dir_.writeFile("agent-guide.md", "# direct", /*inBundle=*/false);
  dir_.writeFile("agent-guide.md", "bad \xC0\xAF utf-8", /*inBundle=*/true);
  EXPECT_EQ(AgentGuideReader::load(), "# direct");

  dir_.removeFile("agent-guide.md", true);
  std::filesystem::create_directory(dir_.pathOf("agent-guide.md", true));
  EXPECT_EQ(AgentGuideReader::load(), "# direct");
}

TEST_F(AgentGuideReaderTest, InvalidEverywhereGivesTheMessage) {
  dir_.writeFile("agent-guide.md", "\xFF", true);
  dir_.writeFile("agent-guide.md", "\xFE", false);
  EXPECT_EQ(AgentGuideReader::load(), kNotFound);
}

TEST_F(AgentGuideReaderTest, EmptyFileIsAnEmptyGuideNotAMissingOne) {
  dir_.writeFile("agent-guide.md", "", true);
  dir_.writeFile("agent-guide.md", "# direct", false);
  EXPECT_EQ(AgentGuideReader::load(), "");
}

TEST_F(AgentGuideReaderTest, RewrittenBetweenCalls) {
  dir_.writeFile("agent-guide.md", "v1", true);
  EXPECT_EQ(AgentGuideReader::load(), "v1");
  dir_.writeFile("agent-guide.md", "v2 更新", true);
  EXPECT_EQ(AgentGuideReader::load(), "v2 更新");
}

} // namespace
} // namespace vantrel::bridge
