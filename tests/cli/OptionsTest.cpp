#include "cli/Options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel::cli {
namespace {

using Args = std::vector<std::string_view>;

TEST(OptionsTest, EachOptionAloneIsItsCommand) {
  const struct {
    Args args;
    Command command;
  } cases[] = {
      {{}, Command::serve},        {{"--check"}, Command::check}, {{"--version"}, Command::version},
      {{"--help"}, Command::help}, {{"-h"}, Command::help},
  };
  for (const auto& c : cases) {
    Invocation invocation = parseArguments(c.args);
    EXPECT_EQ(invocation.command, c.command) << (c.args.empty() ? "(none)" : c.args[0]);
    EXPECT_TRUE(invocation.complaint.empty());
  }
}

TEST(OptionsTest, AnythingElseIsMisuseNamingTheArgument) {
  const struct {
    Args args;
    std::string named; // how the complaint shows the offending argument
  } cases[] = {
      {{"--bogus"}, "“--bogus”"},
      {{"check"}, "“check”"},
      {{"--CHECK"}, "“--CHECK”"},
      {{"--check=1"}, "“--check=1”"},
      {{"-"}, "“-”"},
      {{""}, "“”"},
      {{"--bogus", "--check"}, "“--bogus”"},     // the first unknown one
      {{"--check", "--version"}, "“--version”"}, // one option at most
      {{"--help", "x"}, "“x”"},
      {{"a\nb\x1b[2J"}, "“a\\x0ab\\x1b[2J”"}, // the complaint stays one line and inert
  };
  for (const auto& c : cases) {
    Invocation invocation = parseArguments(c.args);
    SCOPED_TRACE(c.named);
    EXPECT_EQ(invocation.command, Command::misuse);
    EXPECT_EQ(invocation.complaint.rfind("vantrel-mcp: ", 0), 0u) << invocation.complaint;
    EXPECT_NE(invocation.complaint.find(c.named), std::string::npos) << invocation.complaint;
    EXPECT_NE(invocation.complaint.find("--help"), std::string::npos);
    EXPECT_EQ(invocation.complaint.find('\n'), std::string::npos);
  }
  EXPECT_NE(parseArguments(Args{"--check", "--version"}).complaint.find("多余"), std::string::npos);
  EXPECT_NE(parseArguments(Args{"--bogus"}).complaint.find("未知"), std::string::npos);
}

TEST(OptionsTest, ProgramNameIsNotAnArgument) {
  const char* argv[] = {"/usr/local/bin/vantrel-mcp", "--check"};
  EXPECT_EQ(parseArguments(2, argv).command, Command::check);
  EXPECT_EQ(parseArguments(1, argv).command, Command::serve);
}

TEST(OptionsTest, HelpListsExactlyTheOptionsThatParse) {
  const std::string help = helpText();
  for (std::string_view option : {"--check", "--version", "--help", "-h"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_NE(parseArguments(Args{option}).command, Command::misuse) << option;
  }
  EXPECT_EQ(help.back(), '\n');
  EXPECT_EQ(versionText().rfind("vantrel-mcp ", 0), 0u);
}

} // namespace
} // namespace vantrel::cli
