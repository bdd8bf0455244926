// Labels: concurrency
#include "bridge/Credentials.h"

#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel::bridge {
namespace {

// The credentials in `bytes`, or nothing; for tests that only ask whether a file is usable.
std::optional<Credentials> usable(std::string_view bytes) {
  auto parsed = parseCredentials(bytes);
  if (auto* credentials = std::get_if<Credentials>(&parsed))
    return *credentials;
  return std::nullopt;
}

std::optional<Credentials> found() {
  return readCredentials().credentials;
}

TEST(CredentialsTest, ParsesPortAndTokenExactly) {
  auto credentials = usable(R"({"token":"  ab c\t","port":8080,"pid":12,"x":[1]})");
  ASSERT_TRUE(credentials);
  EXPECT_EQ(credentials->port, 8080);
  EXPECT_EQ(credentials->token, "  ab c\t");
}

TEST(CredentialsTest, IntegralFloatPortAndEmptyTokenAreUsable) {
  EXPECT_EQ(usable(R"({"port":8080.0,"token":"t"})"), (Credentials{"t", 8080}));
  EXPECT_EQ(usable(R"({"port":1,"token":""})"), (Credentials{"", 1}));
  EXPECT_EQ(usable(R"({"port":65535,"token":"x"})")->port, 65535);
  EXPECT_EQ(usable(R"({"port":6e3,"token":"x"})")->port, 6000);
}

TEST(CredentialsTest, EachUnusableFileSaysWhy) {
  using namespace std::string_view_literals;
  using P = TokenProblem;
  const struct {
    std::string_view bytes;
    TokenProblem problem;
  } cases[] = {
      {"", P::notJson},
      {"{not json", P::notJson},
      {R"({"port":8080,"token":"t")", P::notJson}, // cut short
      {R"({"port":8080,"token":"t"} trailing)", P::notJson},
      // A NUL would end nlohmann's input early and hide the junk after it.
      {"{\"port\":1,\"token\":\"t\"}\0garbage"sv, P::notJson},
      {R"([{"port":8080,"token":"t"}])", P::notAnObject},
      {R"("port")", P::notAnObject},
      {R"({"token":"t"})", P::noPort},
      {R"({"port":"8080","token":"t"})", P::noPort},
      {R"({"port":8080.5,"token":"t"})", P::noPort},
      {R"({"port":1e300,"token":"t"})", P::noPort},
      {R"({"port":18446744073709551615,"token":"t"})", P::noPort},
      {R"({"Port":8080,"Token":"t"})", P::noPort}, // keys match case and all
      {R"({"port":0,"token":"t"})", P::portOutOfRange},
      {R"({"port":-1,"token":"t"})", P::portOutOfRange},
      {R"({"port":65536,"token":"t"})", P::portOutOfRange},
      {R"({"port":8080})", P::noToken},
      {R"({"port":8080,"token":5})", P::noToken},
      {R"({"port":8080,"token":null})", P::noToken},
      // The token goes into a header line: nothing may smuggle in another header.
      {R"({"port":8080,"token":"a\r\nX-Evil: 1"})", P::tokenHasLineBreak},
      {R"({"port":8080,"token":"a\nb"})", P::tokenHasLineBreak},
      {R"({"port":8080,"token":"a\rb"})", P::tokenHasLineBreak},
      {R"({"port":8080,"token":"a\u0000b"})", P::tokenHasLineBreak},
  };
  for (const auto& c : cases) {
    auto parsed = parseCredentials(c.bytes);
    ASSERT_TRUE(std::holds_alternative<TokenProblem>(parsed)) << c.bytes;
    EXPECT_EQ(std::get<TokenProblem>(parsed), c.problem) << c.bytes;
  }
}

class ReadCredentialsTest : public ::testing::Test {
protected:
  void SetUp() override { dir_.applyToThisProcess(); }
  vantrel::testing::SupportDir dir_;
};

TEST_F(ReadCredentialsTest, BundleFolderWinsWhenBothUsable) {
  dir_.writeToken(1111, "bundled", /*inBundle=*/true);
  dir_.writeToken(2222, "direct", /*inBundle=*/false);
  EXPECT_EQ(found(), (Credentials{"bundled", 1111}));
}

TEST_F(ReadCredentialsTest, DamagedBundleFileFallsThroughToSupportDirectory) {
  dir_.writeToken(2222, "direct", /*inBundle=*/false);
  for (const char* damaged : {"{not json", R"({"port":1111})", R"({"port":1111,"token":"a\nb"})",
                              R"({"port":"1111","token":"t"})", "\xff\xfe"}) {
    dir_.writeFile("bridge.token", damaged, /*inBundle=*/true);
    EXPECT_EQ(found(), (Credentials{"direct", 2222})) << damaged;
  }
  // A directory where the file should be is no file at all.
  dir_.removeFile("bridge.token", true);
  std::filesystem::create_directory(dir_.pathOf("bridge.token", true));
  EXPECT_EQ(found()->token, "direct");
}

TEST_F(ReadCredentialsTest, HugeOrDamagedFirstFileDoesNotHideAGoodOne) {
  dir_.writeToken(2222, "direct", /*inBundle=*/false);
  // A sparse 100 GiB file: reading stops at the limit instead of reserving its size.
  vantrel::driver::makeSparseFile(dir_.pathOf("bridge.token", true), 100ull << 30);
  EXPECT_EQ(examineTokenFile(dir_.pathOf("bridge.token", true)).status,
            TokenFile::Status::tooLarge);
  EXPECT_EQ(found(), (Credentials{"direct", 2222}));

  dir_.writeFile("bridge.token", std::string(R"({"port":1,"token":"t"})") + '\0' + "junk", true);
  EXPECT_EQ(found(), (Credentials{"direct", 2222}));
}

TEST_F(ReadCredentialsTest, ReadAfreshEveryTime) {
  dir_.writeToken(1111, "one");
  EXPECT_EQ(found()->token, "one");
  dir_.writeToken(3333, "two");
  EXPECT_EQ(found(), (Credentials{"two", 3333}));
  dir_.removeFile("bridge.token");
  EXPECT_FALSE(found());
}

} // namespace
} // namespace vantrel::bridge
