#include "bridge/Credentials.h"

#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel::bridge {
namespace {

TEST(CredentialsTest, ParsesPortAndTokenExactly) {
  auto credentials = parseCredentials(R"({"token":"  ab c\t","port":8080,"pid":12,"x":[1]})");
  ASSERT_TRUE(credentials);
  EXPECT_EQ(credentials->baseURL, "http://127.0.0.1:8080");
  EXPECT_EQ(credentials->token, "  ab c\t");
}

TEST(CredentialsTest, IntegralFloatPortAndEmptyTokenAreUsable) {
  EXPECT_EQ(parseCredentials(R"({"port":8080.0,"token":"t"})"),
            (Credentials{"http://127.0.0.1:8080", "t"}));
  EXPECT_EQ(parseCredentials(R"({"port":1,"token":""})"), (Credentials{"http://127.0.0.1:1", ""}));
  EXPECT_EQ(parseCredentials(R"({"port":65535,"token":"x"})")->baseURL, "http://127.0.0.1:65535");
  EXPECT_EQ(parseCredentials(R"({"port":6e3,"token":"x"})")->baseURL, "http://127.0.0.1:6000");
}

TEST(CredentialsTest, UnusableFiles) {
  for (const char* bytes : {
           R"({"port":"8080","token":"t"})", // port as a string
           R"({"port":8080.5,"token":"t"})", // fractional port
           R"({"port":0,"token":"t"})",      // out of range
           R"({"port":-1,"token":"t"})",     //
           R"({"port":65536,"token":"t"})",  //
           R"({"port":1e300,"token":"t"})",  //
           R"({"port":18446744073709551615,"token":"t"})",
           R"({"port":8080})",               // no token
           R"({"token":"t"})",               // no port
           R"({"port":8080,"token":5})",     // token not a string
           R"({"port":8080,"token":null})",  //
           R"({"Port":8080,"Token":"t"})",   // keys match case and all
           R"([{"port":8080,"token":"t"}])", // array top level
           R"("port")",                      // scalar top level
           R"({"port":8080,"token":"t"} trailing)",
           R"({"port":8080,"token":"t")", // cut short
           "",                            //
       }) {
    EXPECT_FALSE(parseCredentials(bytes)) << bytes;
  }
}

TEST(CredentialsTest, TokenThatCouldInjectHeadersIsUnusable) {
  EXPECT_FALSE(parseCredentials(R"({"port":8080,"token":"a\r\nX-Evil: 1"})"));
  EXPECT_FALSE(parseCredentials(R"({"port":8080,"token":"a\nb"})"));
  EXPECT_FALSE(parseCredentials(R"({"port":8080,"token":"a\rb"})"));
  EXPECT_FALSE(parseCredentials(R"({"port":8080,"token":"a\u0000b"})"));
}

class ReadCredentialsTest : public ::testing::Test {
protected:
  void SetUp() override { dir_.applyToThisProcess(); }
  vantrel::testing::SupportDir dir_;
};

TEST_F(ReadCredentialsTest, NoFileGivesNothing) {
  EXPECT_FALSE(readCredentials());
}

TEST_F(ReadCredentialsTest, BundleFolderWinsWhenBothUsable) {
  dir_.writeToken(1111, "bundled", /*inBundle=*/true);
  dir_.writeToken(2222, "direct", /*inBundle=*/false);
  EXPECT_EQ(readCredentials(), (Credentials{"http://127.0.0.1:1111", "bundled"}));
}

TEST_F(ReadCredentialsTest, DamagedBundleFileFallsThroughToSupportDirectory) {
  dir_.writeToken(2222, "direct", /*inBundle=*/false);
  for (const char* damaged : {"{not json", R"({"port":1111})", R"({"port":1111,"token":"a\nb"})",
                              R"({"port":"1111","token":"t"})", "\xff\xfe"}) {
    dir_.writeFile("bridge.token", damaged, /*inBundle=*/true);
    EXPECT_EQ(readCredentials(), (Credentials{"http://127.0.0.1:2222", "direct"})) << damaged;
  }
  // A directory where the file should be is no file at all.
  dir_.removeFile("bridge.token", true);
  std::filesystem::create_directory(dir_.pathOf("bridge.token", true));
  EXPECT_EQ(readCredentials()->token, "direct");
}

TEST_F(ReadCredentialsTest, ReadAfreshEveryTime) {
  dir_.writeToken(1111, "one");
  EXPECT_EQ(readCredentials()->token, "one");
  dir_.writeToken(3333, "two");
  EXPECT_EQ(readCredentials(), (Credentials{"http://127.0.0.1:3333", "two"}));
  dir_.removeFile("bridge.token");
  EXPECT_FALSE(readCredentials());
}

} // namespace
} // namespace vantrel::bridge
