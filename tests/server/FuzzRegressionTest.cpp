// Inputs the fuzzers once broke on, and their seed corpora, replayed through the same checks
// the fuzz targets make, so a fixed fault stays fixed without a fuzzing run.
// Labels: concurrency
#include "ArgsUrlFuzz.h"
#include "ServerFuzz.h"
#include "driver/TempDir.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";

// Every file under fuzz/<kind>/<target>, sorted so failures read the same on every run.
std::vector<fs::path> inputsOf(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* kind : {"regressions", "corpus"}) {
    fs::path dir = kFuzzDir / kind / target;
    if (!fs::is_directory(dir))
      continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file())
        files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzRegressionTest, ServerInputsKeepEveryInvariant) {
  SupportDir dir;
  dir.writeToken(4567, fuzz::kFuzzToken);
  dir.writeFile("agent-guide.md", "# 规范\n");
  dir.applyToThisProcess();
  auto files = inputsOf("fuzz_server");
  ASSERT_FALSE(files.empty()) << "no inputs under " << kFuzzDir;
  for (const auto& file : files) {
    EXPECT_EQ(fuzz::checkServerInput(readFile(file)), std::nullopt) << file;
  }
}

TEST(FuzzRegressionTest, ArgsAndUrlInputsRoundTrip) {
  auto files = inputsOf("fuzz_args_url");
  ASSERT_FALSE(files.empty()) << "no inputs under " << kFuzzDir;
  for (const auto& file : files) {
    EXPECT_EQ(fuzz::checkArgsUrlInput(readFile(file)), std::nullopt) << file;
  }
}

// The checks themselves must be able to fail, or a quiet fuzz run proves nothing.
TEST(FuzzRegressionTest, ChecksCatchBrokenOutput) {
  std::string id;
  EXPECT_NE(fuzz::checkReply(R"({"jsonrpc":"2.0","id":1,"result":{}})", id), std::nullopt)
      << "no line feed";
  EXPECT_NE(fuzz::checkReply("{\"jsonrpc\":\"2.0\",\"id\":1,\n\"result\":{}}\n", id), std::nullopt);
  EXPECT_NE(fuzz::checkReply(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":""}})"
                             "\n",
                             id),
            std::nullopt);
  EXPECT_NE(fuzz::checkReply(R"({"jsonrpc":"2.0","id":1,"result":{"content":[],"isError":0}})"
                             "\n",
                             id),
            std::nullopt);
  EXPECT_EQ(fuzz::checkReply(R"({"jsonrpc":"2.0","id":[1],"result":{}})"
                             "\n",
                             id),
            std::nullopt);
  EXPECT_EQ(id, "[1]");
  EXPECT_EQ(fuzz::checkQuery({{"a&b", "c=d"}, {"e", "+ %"}}), std::nullopt);

  auto expected = fuzz::expectedFor("{\"id\":1,\"method\":\"tools/call\"}\n\n{\"method\":\"x\"}");
  EXPECT_EQ(expected.ids, (std::multiset<std::string>{"1", "null"}));
  EXPECT_EQ(expected.toolCalls, 1u);
  EXPECT_EQ(fuzz::percentDecoded("a%2Fb"), "a/b");
  EXPECT_EQ(fuzz::percentDecoded("a%2"), std::nullopt);
  EXPECT_EQ(fuzz::percentDecoded("a%2f"), std::nullopt);
}

} // namespace
} // namespace vantrel::testing
