// The catalogue against the committed tools/list result. The golden file is the reviewed text
// the agent reads; a change to a description or schema must change it too, on purpose.
// VANTREL_UPDATE_GOLDEN=1 rewrites it from the table instead of comparing.
#include "tools/Catalogue.h"

#include "driver/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace vantrel::tools {
namespace {

using nlohmann::json;

TEST(CatalogueTest, ToolsListMatchesTheGoldenFile) {
  const json served = {{"tools", toolDefinitions()}};
  const char* update = std::getenv("VANTREL_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(VANTREL_TOOLS_LIST_GOLDEN) << served.dump(2) << "\n";
    GTEST_SKIP() << "rewrote " << VANTREL_TOOLS_LIST_GOLDEN;
  }
  // Throws, failing the test, when the file cannot be read.
  const std::string text = vantrel::driver::readFile(VANTREL_TOOLS_LIST_GOLDEN);
  const json golden = json::parse(text, nullptr, /*allow_exceptions=*/false);
  ASSERT_TRUE(golden.is_object() && golden.contains("tools")) << VANTREL_TOOLS_LIST_GOLDEN;
  ASSERT_EQ(golden["tools"].size(), served["tools"].size());
  // Tool by tool, so a failure names the entry that differs.
  for (std::size_t i = 0; i < served["tools"].size(); ++i)
    EXPECT_EQ(served["tools"][i], golden["tools"][i]) << "entry " << i;
  EXPECT_EQ(served, golden);
}

// What the golden file cannot show: that each served entry runs, and is found by its name.
TEST(CatalogueTest, EveryEntryHasAPlanAndIsFoundByItsUniqueName) {
  std::set<std::string> names;
  for (const Tool& tool : allTools()) {
    EXPECT_NE(tool.plan, nullptr) << tool.name;
    EXPECT_TRUE(names.insert(tool.name).second) << tool.name << " twice";
    EXPECT_EQ(findTool(tool.name), &tool);
  }
  EXPECT_EQ(names.size(), 13u);
}

} // namespace
} // namespace vantrel::tools
