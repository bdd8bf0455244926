#include "cli/Check.h"

#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace vantrel::cli {
namespace {

using bridge::Credentials;
using bridge::TokenFile;
using bridge::TokenProblem;
using Status = TokenFile::Status;

// 21 characters: neither the token nor its length may show in any line.
const std::string kToken = "tok-Zq8unique-7Hs0wQx";
const std::string kFirst = "/home/u/.local/share/com.quillmoor.vantrel/bridge.token";
const std::string kSecond = "/home/u/.local/share/bridge.token";

TokenFile tokenFile(Status status, const std::string& path = kFirst, int port = 41234,
                    const std::string& token = kToken) {
  TokenFile file;
  file.path = path;
  file.status = status;
  if (status == Status::usable)
    file.credentials = Credentials{token, port};
  return file;
}

TokenFile unusable(TokenProblem problem) {
  TokenFile file = tokenFile(Status::unusable);
  file.problem = problem;
  return file;
}

TokenFile failedWith(Status status, int error) {
  TokenFile file = tokenFile(status);
  file.error = error;
  return file;
}

std::string errorText(int error) {
  return std::generic_category().message(error);
}

void expectSafe(const std::string& line) {
  EXPECT_EQ(line.find(kToken), std::string::npos) << line;
  EXPECT_EQ(line.find("Zq8unique"), std::string::npos) << line;
  EXPECT_EQ(line.find(std::to_string(kToken.size())), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

void expectHas(const std::string& line, const std::vector<std::string>& parts) {
  for (const auto& part : parts)
    EXPECT_NE(line.find(part), std::string::npos) << "missing “" << part << "” in: " << line;
}

void expectHasNot(const std::string& line, const std::vector<std::string>& parts) {
  for (const auto& part : parts)
    EXPECT_EQ(line.find(part), std::string::npos) << part << " in: " << line;
}

TEST(CheckTest, TokenLineSaysWhatTheFileCameToAndWhetherItIsUsed) {
  const struct {
    TokenFile file;
    TokenRole role;
    std::vector<std::string> has;
    std::vector<std::string> hasNot;
  } cases[] = {
      {tokenFile(Status::missing), TokenRole::tried, {"没有这个文件"}, {"跳过", "将用"}},
      {failedWith(Status::unreadable, EACCES),
       TokenRole::tried,
       {"无法读取：" + errorText(EACCES), "跳过"},
       {}},
      {failedWith(Status::unreadable, 0), TokenRole::tried, {"不是普通文件", "跳过"}, {}},
      {tokenFile(Status::tooLarge), TokenRole::tried, {"64 KiB", "跳过"}, {}},
      {failedWith(Status::noResources, EMFILE),
       TokenRole::tried,
       {errorText(EMFILE), "文件描述符"},
       {}},
      {unusable(TokenProblem::notJson), TokenRole::tried, {"不是有效的 JSON", "跳过"}, {}},
      {unusable(TokenProblem::notAnObject), TokenRole::tried, {"不是 JSON 对象"}, {}},
      {unusable(TokenProblem::noPort), TokenRole::tried, {"缺少 port"}, {}},
      {unusable(TokenProblem::portOutOfRange), TokenRole::tried, {"1 到 65535"}, {}},
      {unusable(TokenProblem::noToken), TokenRole::tried, {"缺少 token"}, {}},
      {unusable(TokenProblem::tokenHasLineBreak), TokenRole::tried, {"换行"}, {}},
      {tokenFile(Status::usable),
       TokenRole::used,
       {"可用，端口 41234", "服务器将用这个文件"},
       {"不会用到"}},
      {tokenFile(Status::usable),
       TokenRole::notReached,
       {"可用，端口 41234", "不会用到"},
       {"将用"}},
      {tokenFile(Status::missing), TokenRole::notReached, {"没有这个文件", "不会用到"}, {}},
  };
  std::set<std::string> states;
  for (const auto& c : cases) {
    std::string line = tokenLine(c.file, 2, c.role);
    expectHas(line, c.has);
    expectHas(line, {"bridge.token 第 2 处 " + kFirst + "："});
    expectHasNot(line, c.hasNot);
    expectSafe(line);
    states.insert(line);
  }
  EXPECT_EQ(states.size(), std::size(cases)) << "two findings read the same";
}

TEST(CheckTest, TokenLineShowsAStrangePathOnOneLine) {
  std::string line =
      tokenLine(tokenFile(Status::missing, "/home/a\nb/bridge.token"), 1, TokenRole::tried);
  expectHas(line, {"/home/a\\x0ab/bridge.token"});
  expectSafe(line);
}

TEST(CheckTest, FirstUsableIsUsedThoseBeforeTriedThoseAfterNotReached) {
  using R = TokenRole;
  const struct {
    std::vector<TokenFile> files;
    std::vector<TokenRole> roles;
  } cases[] = {
      {{}, {}},
      {{tokenFile(Status::missing), tokenFile(Status::usable)}, {R::tried, R::used}},
      {{tokenFile(Status::usable), tokenFile(Status::usable)}, {R::used, R::notReached}},
      {{tokenFile(Status::usable), unusable(TokenProblem::noPort)}, {R::used, R::notReached}},
      {{unusable(TokenProblem::notJson), tokenFile(Status::missing)}, {R::tried, R::tried}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(rolesFor(c.files), c.roles);
}

Probe answered(int status) {
  return Probe{41234, status, {}};
}

Probe unanswered(std::string failure) {
  return Probe{41234, std::nullopt, std::move(failure)};
}

TEST(CheckTest, ProbeLineNamesTheRequestAndWhatCameBack) {
  const struct {
    std::optional<Probe> probe;
    std::vector<std::string> has;
  } cases[] = {
      {std::nullopt, {"没有可用的 bridge.token", "未发请求"}},
      {answered(200), {"127.0.0.1:41234", "只读请求 GET /events", "返回 200", "应答正常"}},
      {answered(401), {"GET /events", "返回 401", "token 已失效", "重启"}},
      {answered(404), {"GET /events", "返回 404", "不是 200"}},
      {unanswered("connect 127.0.0.1:41234: Connection refused"),
       {"GET /events 没有应答：connect 127.0.0.1:41234: Connection refused"}},
      {unanswered("read 127.0.0.1:41234: timed out,\nno data moved for 15 s"),
       {"timed out,\\x0ano data"}},
  };
  for (const auto& c : cases) {
    std::string line = probeLine(c.probe);
    expectHas(line, c.has);
    expectSafe(line);
  }
}

GuideFile guide(GuideFile::Status status, const std::string& path, std::size_t size = 0,
                int error = 0) {
  return GuideFile{path, status, size, error};
}

TEST(CheckTest, GuideLineNamesTheFileGetGuideServesOrWhyNone) {
  using G = GuideFile::Status;
  const std::string first = "/s/com.quillmoor.vantrel/agent-guide.md";
  const std::string second = "/s/agent-guide.md";
  const struct {
    std::vector<GuideFile> guides;
    std::vector<std::string> has;
    std::vector<std::string> hasNot;
  } cases[] = {
      {{guide(G::readable, first, 1234), guide(G::missing, second)},
       {"第 1 处 " + first + "，1234 字节"},
       {"跳过", second}},
      {{guide(G::missing, first), guide(G::readable, second, 0)},
       {"第 2 处 " + second + "，0 字节"},
       {"跳过"}},
      {{guide(G::notUtf8, first), guide(G::readable, second, 7)},
       {"第 2 处 " + second + "，7 字节", "跳过了第 1 处 " + first + "：不是 UTF-8"},
       {}},
      {{guide(G::readable, first, 5), guide(G::notUtf8, second)}, {"第 1 处"}, {"跳过", second}},
      {{guide(G::missing, first), guide(G::missing, second)},
       {"没有这个文件", "未找到指导文档"},
       {"第 1 处"}},
      {{guide(G::tooLarge, first), guide(G::missing, second)},
       {"没有可用的", "第 1 处 " + first + "：超过 16 MiB"},
       {second}},
      {{guide(G::unreadable, first, 0, EACCES), guide(G::unreadable, second)},
       {errorText(EACCES), "第 2 处 " + second + "：无法读取：不是普通文件"},
       {}},
      {{guide(G::noResources, first, 0, EMFILE), guide(G::missing, second)},
       {errorText(EMFILE), "文件描述符"},
       {}},
  };
  for (const auto& c : cases) {
    std::string line = guideLine(c.guides);
    EXPECT_EQ(line.rfind("agent-guide.md：", 0), 0u) << line;
    expectHas(line, c.has);
    expectHasNot(line, c.hasNot);
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(CheckTest, GuideFileIsJudgedAsGetGuideReadsIt) {
  testing::SupportDir dir;
  dir.writeFile("agent-guide.md", "# 规范\n");
  dir.writeFile("agent-guide.md", "\xff\xfe", /*inBundle=*/false);
  GuideFile good = examineGuideFile(dir.pathOf("agent-guide.md"));
  EXPECT_EQ(good.status, GuideFile::Status::readable);
  EXPECT_EQ(good.size, std::string("# 规范\n").size());
  EXPECT_EQ(examineGuideFile(dir.pathOf("agent-guide.md", false)).status,
            GuideFile::Status::notUtf8);
  EXPECT_EQ(examineGuideFile(dir.pathOf("nothing.md")).status, GuideFile::Status::missing);
  GuideFile folder = examineGuideFile(dir.bundleDir());
  EXPECT_EQ(folder.status, GuideFile::Status::unreadable);
  EXPECT_EQ(folder.error, 0);
}

CheckFindings withTokens(std::vector<TokenFile> tokens, std::optional<Probe> probe = {}) {
  CheckFindings findings;
  findings.tokens = std::move(tokens);
  findings.probe = std::move(probe);
  findings.guides = {guide(GuideFile::Status::readable, "/s/agent-guide.md", 10)};
  return findings;
}

TEST(CheckTest, VerdictAndExitStatusFollowTheProbe) {
  const TokenFile used = tokenFile(Status::usable, kFirst, 41234);
  const TokenFile otherPort = tokenFile(Status::usable, kSecond, 50505);
  const TokenFile otherToken = tokenFile(Status::usable, kSecond, 41234, "another-secret");
  const TokenFile sameAsUsed = tokenFile(Status::usable, kSecond, 41234);
  const TokenFile missing = tokenFile(Status::missing, kSecond);
  const struct {
    const char* what;
    CheckFindings findings;
    int status;
    std::vector<std::string> has;
    std::vector<std::string> hasNot;
  } cases[] = {
      {"no home", withTokens({}), 1, {"不知道砚舟的文件在哪里"}, {}},
      {"no file", withTokens({tokenFile(Status::missing), missing}), 1, {"请启动砚舟"}, {}},
      {"damaged",
       withTokens({unusable(TokenProblem::portOutOfRange), missing}),
       1,
       {"已损坏", "重启砚舟"},
       {}},
      {"no descriptors",
       withTokens({failedWith(Status::noResources, EMFILE), missing}),
       1,
       {"稍后重试"},
       {}},
      {"good", withTokens({used, missing}, answered(200)), 0, {"正常"}, {"连不上"}},
      {"good, later one differs",
       withTokens({used, otherPort}, answered(200)),
       0,
       {"正常"},
       {"挡住"}},
      {"created is not ok", withTokens({used, missing}, answered(201)), 1, {"201"}, {}},
      {"server error", withTokens({used, missing}, answered(500)), 1, {"500", "重启砚舟"}, {}},
      {"stale token",
       withTokens({used, missing}, answered(401)),
       1,
       {"不接受", "重启砚舟"},
       {"挡住"}},
      {"stale token, later one differs",
       withTokens({used, otherToken}, answered(401)),
       1,
       {"不接受", "第 2 处的 bridge.token（端口 41234）被第 1 处的挡住", "删掉第 1 处"},
       {}},
      {"down",
       withTokens({used, missing}, unanswered("connect: refused")),
       1,
       {"没有应答", "旧的 bridge.token", "启动"},
       {"挡住"}},
      {"down, later one on another port",
       withTokens({used, otherPort}, unanswered("connect: refused")),
       1,
       {"没有应答", "第 2 处的 bridge.token（端口 50505）被第 1 处的挡住"},
       {}},
      {"down, later one the same",
       withTokens({used, sameAsUsed}, unanswered("refused")),
       1,
       {"没有应答"},
       {"挡住"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(exitStatusFor(c.findings), c.status);
    std::string verdict = verdictLine(c.findings);
    EXPECT_EQ(verdict.rfind("结论：", 0), 0u) << verdict;
    expectHas(verdict, c.has);
    expectHasNot(verdict, c.hasNot);

    auto lines = renderFindings(c.findings);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.back(), verdict);
    for (const auto& line : lines) {
      expectSafe(line);
      EXPECT_EQ(line.find("another-secret"), std::string::npos) << line;
    }
  }
}

// Without a home there is no file to name: one line for it instead of two (the runs with a home
// are CheckProcessTest's, line by line).
TEST(CheckTest, HomelessRunSaysSoInPlaceOfTheTokenLines) {
  auto lines = renderFindings(withTokens({}));
  ASSERT_EQ(lines.size(), 5u);
  expectHas(lines[1], {"支持目录：找不到"});
  expectHas(lines[2], {"未发请求"});
}

// A host that passes fewer variables than the shell (no XDG_DATA_HOME, say) sends the server to
// another directory than --check in that shell found: the line shows which values were used.
TEST(CheckTest, EnvironmentLineShowsWhatTheSupportDirectoryCameFrom) {
  const struct {
    Platform platform;
    bridge::SupportEnvironment env;
    std::vector<std::string> has, hasNot;
  } cases[] = {
      {Platform::otherUnix,
       {"/home/u", "/data/x", std::nullopt},
       {"HOME=/home/u", "XDG_DATA_HOME=/data/x"},
       {"不用"}},
      {Platform::otherUnix,
       {"/home/u", std::nullopt, std::nullopt},
       {"HOME=/home/u", "XDG_DATA_HOME 未设置"},
       {}},
      {Platform::otherUnix, {"/home/u", "data", std::nullopt}, {"XDG_DATA_HOME=data", "不用"}, {}},
      {Platform::otherUnix,
       {std::nullopt, std::nullopt, "/home/db"},
       {"HOME 未设置", "/home/db"},
       {}},
      {Platform::macOS,
       {"/Users/u", "/data/x", std::nullopt},
       {"HOME=/Users/u"},
       {"XDG_DATA_HOME"}},
  };
  for (const auto& c : cases) {
    const std::string line = environmentLine(c.platform, c.env);
    expectHas(line, c.has);
    expectHasNot(line, c.hasNot);
  }
}

} // namespace
} // namespace vantrel::cli
