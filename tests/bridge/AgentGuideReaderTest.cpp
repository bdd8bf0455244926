#include "bridge/AgentGuideReader.h"

#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel::bridge {
namespace {

const std::string kNotFound =
    "未找到指导文档。砚舟 app 首次启动会生成 agent-guide.md；请先启动砚舟。";

// The guide's text when it was read as a success.
std::string loaded() {
  ToolResult result = AgentGuideReader::load();
  EXPECT_FALSE(result.isError) << result.text;
  return result.text.plain();
}

class AgentGuideReaderTest : public ::testing::Test {
protected:
  void SetUp() override { dir_.applyToThisProcess(); }
  vantrel::testing::SupportDir dir_;
};

TEST_F(AgentGuideReaderTest, BundleFolderFirstTextExactlyAsStored) {
  const std::string guide = "\xEF\xBB\xBF# 指南\r\n\n  trailing spaces  \n\n";
  dir_.writeFile("agent-guide.md", guide, /*inBundle=*/true);
  dir_.writeFile("agent-guide.md", "other", /*inBundle=*/false);
  EXPECT_EQ(loaded(), guide);
}

TEST_F(AgentGuideReaderTest, OnlySupportDirectoryHoldsIt) {
  dir_.writeFile("agent-guide.md", "# direct", /*inBundle=*/false);
  EXPECT_EQ(loaded(), "# direct");
}

TEST_F(AgentGuideReaderTest, UnreadableBundleCopyFallsThrough) {
  dir_.writeFile("agent-guide.md", "# direct", /*inBundle=*/false);
  dir_.writeFile("agent-guide.md", "bad \xC0\xAF utf-8", /*inBundle=*/true);
  EXPECT_EQ(loaded(), "# direct");

  dir_.removeFile("agent-guide.md", true);
  std::filesystem::create_directory(dir_.pathOf("agent-guide.md", true));
  EXPECT_EQ(loaded(), "# direct");
}

TEST_F(AgentGuideReaderTest, NothingUsableAnywhereGivesTheMessage) {
  EXPECT_EQ(loaded(), kNotFound);
  dir_.writeFile("agent-guide.md", "\xFF", true);
  dir_.writeFile("agent-guide.md", "\xFE", false);
  EXPECT_EQ(loaded(), kNotFound);
}

TEST_F(AgentGuideReaderTest, EmptyFileIsAnEmptyGuideNotAMissingOne) {
  dir_.writeFile("agent-guide.md", "", true);
  dir_.writeFile("agent-guide.md", "# direct", false);
  EXPECT_EQ(loaded(), "");
}

TEST_F(AgentGuideReaderTest, OversizedGuideIsAFailureThatSaysSo) {
  // A sparse 100 GiB file: reserving its size, or reading it whole, is what must not be.
  vantrel::driver::makeSparseFile(dir_.pathOf("agent-guide.md", true), 100ull << 30);
  ToolResult result = AgentGuideReader::load();
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.status, 0);
  const std::string text = result.text.plain();
  EXPECT_TRUE(text.starts_with("读取指导文档失败：") && text.find("16 MiB") != std::string::npos)
      << text;

  // A readable copy in the other place still serves.
  dir_.writeFile("agent-guide.md", "# direct", false);
  EXPECT_EQ(loaded(), "# direct");
}

} // namespace
} // namespace vantrel::bridge
