#include "cli/Check.h"

#include "bridge/AgentGuideReader.h"
#include "bridge/AsioTransport.h"
#include "bridge/BridgeClient.h"
#include "bridge/StorePaths.h"
#include "cli/Printable.h"
#include "server/EventLoop.h"
#include "server/ProcessSetup.h"

#include <boost/asio/awaitable.hpp>
#include <cstdio>
#include <memory>
#include <system_error>
#include <variant>

namespace vantrel::cli {
namespace {

using bridge::TokenFile;
using bridge::TokenProblem;

std::string errorText(int error) {
  return std::generic_category().message(error);
}

// The words for a file that could not be read, shared by bridge.token and agent-guide.md.
std::string unreadableText(int error) {
  return "无法读取：" + (error != 0 ? errorText(error) : "不是普通文件");
}

std::string shortageText(int error) {
  return "无法打开：" + errorText(error) + "（本进程的文件描述符或内存不足）";
}

std::string ordinalText(std::size_t ordinal) {
  return "第 " + std::to_string(ordinal) + " 处";
}

std::string problemText(TokenProblem problem) {
  switch (problem) {
  case TokenProblem::notJson:
    return "不是有效的 JSON";
  case TokenProblem::notAnObject:
    return "顶层不是 JSON 对象";
  case TokenProblem::noPort:
    return "缺少 port，或 port 不是整数";
  case TokenProblem::portOutOfRange:
    return "port 不在 1 到 65535 之间";
  case TokenProblem::noToken:
    return "缺少 token，或 token 不是字符串";
  case TokenProblem::tokenHasLineBreak:
    return "token 含有换行符";
  }
  return "无法使用";
}

std::string tokenState(const TokenFile& file) {
  switch (file.status) {
  case TokenFile::Status::missing:
    return "没有这个文件";
  case TokenFile::Status::unreadable:
    return unreadableText(file.error);
  case TokenFile::Status::tooLarge:
    return "无法使用：超过 64 KiB，不是砚舟写的文件";
  case TokenFile::Status::noResources:
    return shortageText(file.error);
  case TokenFile::Status::unusable:
    return "无法使用：" + problemText(file.problem);
  case TokenFile::Status::usable:
    return "可用，端口 " + std::to_string(file.credentials ? file.credentials->port : 0);
  }
  return {};
}

std::string guideProblem(const GuideFile& file) {
  switch (file.status) {
  case GuideFile::Status::unreadable:
    return unreadableText(file.error);
  case GuideFile::Status::notUtf8:
    return "不是 UTF-8 文本";
  case GuideFile::Status::tooLarge:
    return "超过 16 MiB，不是砚舟生成的指导文档";
  case GuideFile::Status::noResources:
    return shortageText(file.error);
  case GuideFile::Status::missing:
  case GuideFile::Status::readable:
    break;
  }
  return {};
}

std::optional<std::size_t> usedIndex(const std::vector<TokenFile>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].status == TokenFile::Status::usable)
      return i;
  }
  return std::nullopt;
}

bool present(TokenFile::Status status) {
  return status != TokenFile::Status::missing;
}

// A later usable file that says something else than the used one: if the used one is the stale
// leftover, it hides the good one.
std::string shadowHint(const std::vector<TokenFile>& files) {
  auto used = usedIndex(files);
  if (!used)
    return {};
  for (std::size_t j = *used + 1; j < files.size(); ++j) {
    if (files[j].status == TokenFile::Status::usable &&
        files[j].credentials != files[*used].credentials) {
      return "另外，" + ordinalText(j + 1) + "的 bridge.token（端口 " +
             std::to_string(files[j].credentials->port) + "）被" + ordinalText(*used + 1) +
             "的挡住了：若它才是砚舟现在写的，删掉" + ordinalText(*used + 1) + "的旧文件。";
    }
  }
  return {};
}

boost::asio::awaitable<void> attempt(std::shared_ptr<bridge::HttpTransport> transport,
                                     bridge::HttpRequest request,
                                     std::optional<bridge::HttpOutcome>& outcome,
                                     server::TaskGroup& running) {
  struct Leave { // however the attempt ends: the loop below waits for it
    server::TaskGroup& group;
    ~Leave() { group.leave(); }
  } leave{running};
  outcome = co_await transport->exchange(std::move(request));
}

// One attempt, not the server's retry: --check reports what it meets, it does not work around it.
Probe probeBridge(const bridge::Credentials& credentials) {
  server::EventLoop loop(0, server::loopStackSize()); // no threads: runs here, below
  auto transport = std::make_shared<bridge::AsioTransport>(kProbeTimeout);
  std::optional<bridge::HttpOutcome> outcome;
  auto request = bridge::httpRequestFor(credentials, bridge::BridgeCall::get(kProbePath));
  request.replyBody = std::make_shared<bridge::TextSink>(JsonText::withLimit(kProbeBodyLimit));
  server::TaskGroup running; // the probe alone, run here
  running.enter();
  loop.spawnCall(attempt(transport, std::move(request), outcome, running), /*moreInput=*/false);
  loop.runUntilDrained(running);
  // Kept connections belong to the loop's context: close them while it still exists.
  transport->shutdown();

  Probe probe{credentials.port, std::nullopt, {}};
  if (!outcome)
    probe.failure = "检查没有得到结果";
  else if (auto* reply = std::get_if<bridge::HttpReply>(&*outcome))
    probe.status = reply->status; // the body is the Bridge's business; it is not shown
  else if (auto* failure = std::get_if<bridge::TransportFailure>(&*outcome))
    probe.failure = failure->description;
  else
    probe.failure = "回复超过 " + std::to_string(kProbeBodyLimit >> 20) + " MiB，没有读完";
  return probe;
}

} // namespace

std::string environmentLine(Platform platform, const bridge::SupportEnvironment& env) {
  std::string line = "环境：";
  if (bridge::absolute(env.home)) {
    line += "HOME=" + printable(*env.home);
  } else {
    line += env.home ? "HOME 不是绝对路径" : "HOME 未设置";
    if (env.userDatabaseHome)
      line += "，用用户数据库里的主目录 " + printable(*env.userDatabaseHome);
  }
  if (platform == Platform::macOS)
    return line; // the support directory there is under the home alone
  line += "；";
  if (!env.xdgDataHome)
    return line + "XDG_DATA_HOME 未设置";
  line += "XDG_DATA_HOME=" + printable(*env.xdgDataHome);
  if (!bridge::absolute(env.xdgDataHome))
    line += "（不是绝对路径，不用）";
  return line;
}

std::vector<TokenRole> rolesFor(const std::vector<TokenFile>& files) {
  auto used = usedIndex(files);
  std::vector<TokenRole> roles;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!used || i < *used)
      roles.push_back(TokenRole::tried);
    else
      roles.push_back(i == *used ? TokenRole::used : TokenRole::notReached);
  }
  return roles;
}

std::string tokenLine(const TokenFile& file, std::size_t ordinal, TokenRole role) {
  std::string line = "bridge.token " + ordinalText(ordinal) + " " + printable(file.path) + "：";
  line += tokenState(file);
  switch (role) {
  case TokenRole::used:
    line += "；服务器将用这个文件";
    break;
  case TokenRole::notReached:
    line += "；不会用到：服务器只用前面那个";
    break;
  case TokenRole::tried:
    if (present(file.status))
      line += "；服务器跳过它";
    break;
  }
  return line;
}

std::string probeLine(const std::optional<Probe>& probe) {
  if (!probe)
    return "Bridge：没有可用的 bridge.token，不知道连哪里，未发请求";
  std::string line = "Bridge 127.0.0.1:" + std::to_string(probe->port) + "：只读请求 " +
                     kProbeMethod + " " + kProbePath;
  if (!probe->status)
    return line + " 没有应答：" + printable(probe->failure);
  line += " 返回 " + std::to_string(*probe->status);
  if (*probe->status == 200)
    return line + "，应答正常";
  if (*probe->status == 401)
    return line + "，token 已失效：砚舟重启过而 bridge.token 是旧的，或文件是别的程序写的";
  return line + "，不是 200";
}

GuideFile examineGuideFile(const std::string& path) {
  bridge::GuideRead read = bridge::readGuideFile(path);
  return GuideFile{path, read.status, read.text.size(), read.error};
}

std::string guideLine(const std::vector<GuideFile>& candidates) {
  std::string line = "agent-guide.md：";
  // get_guide serves the first readable one; a bad one before it is passed over.
  std::string skipped;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const GuideFile& file = candidates[i];
    if (file.status == GuideFile::Status::readable) {
      line += ordinalText(i + 1) + " " + printable(file.path) + "，" + std::to_string(file.size) +
              " 字节";
      if (!skipped.empty())
        line += "（跳过了" + skipped + "）";
      return line;
    }
    if (file.status != GuideFile::Status::missing) {
      if (!skipped.empty())
        skipped += "；";
      skipped += ordinalText(i + 1) + " " + printable(file.path) + "：" + guideProblem(file);
    }
  }
  if (skipped.empty())
    return line + "没有这个文件；get_guide 会回答“未找到指导文档”（砚舟首次启动时生成它）";
  return line + "没有可用的（" + skipped + "）；get_guide 读不到指导文档";
}

std::string verdictLine(const CheckFindings& findings) {
  const auto& tokens = findings.tokens;
  if (tokens.empty())
    return "结论：连不上：不知道砚舟的文件在哪里。请在设置了 HOME 的环境里运行。";
  if (!findings.probe) {
    bool shortage = false;
    bool damaged = false;
    for (const auto& file : tokens) {
      shortage = shortage || file.status == TokenFile::Status::noResources;
      damaged = damaged || present(file.status);
    }
    if (shortage)
      return "结论：连不上：本进程打不开 bridge.token（文件描述符或内存不足），请稍后重试。";
    if (damaged)
      return "结论：连不上：bridge.token 已损坏。请重启砚舟 app，让它重写这个文件。";
    return "结论：连不上：没有 bridge.token，砚舟未运行。请启动砚舟 app。";
  }
  const Probe& probe = *findings.probe;
  if (!probe.status) {
    return "结论：连不上：Bridge 没有应答，砚舟可能已退出或重启过，留下了旧的 bridge.token。"
           "请启动（或重启）砚舟 app。" +
           shadowHint(tokens);
  }
  if (*probe.status == 200)
    return "结论：正常：下一次工具调用能连上砚舟的 Bridge。";
  if (*probe.status == 401) {
    return "结论：连不上：Bridge 不接受 bridge.token 里的 token。请重启砚舟 app，让它重写这个文件；"
           "仍如此时，可能有别的程序写了它。" +
           shadowHint(tokens);
  }
  return "结论：Bridge 返回 " + std::to_string(*probe.status) +
         "，工具调用可能失败。请重启砚舟 app。";
}

int exitStatusFor(const CheckFindings& findings) {
  return findings.probe && findings.probe->status == 200 ? 0 : 1;
}

std::vector<std::string> renderFindings(const CheckFindings& findings) {
  std::vector<std::string> lines{environmentLine(findings.platform, findings.environment)};
  if (findings.tokens.empty())
    lines.push_back("支持目录：找不到（HOME 未设置，用户数据库里也没有主目录）");
  auto roles = rolesFor(findings.tokens);
  for (std::size_t i = 0; i < findings.tokens.size(); ++i)
    lines.push_back(tokenLine(findings.tokens[i], i + 1, roles[i]));
  lines.push_back(probeLine(findings.probe));
  lines.push_back(guideLine(findings.guides));
  lines.push_back(verdictLine(findings));
  return lines;
}

CheckFindings gatherFindings() {
  CheckFindings findings;
  findings.environment = bridge::supportEnvironment();
  for (const auto& candidate : bridge::StorePaths::resolveCandidates("bridge.token"))
    findings.tokens.push_back(bridge::examineTokenFile(candidate));
  if (auto used = usedIndex(findings.tokens))
    findings.probe = probeBridge(*findings.tokens[*used].credentials);
  for (const auto& candidate : bridge::StorePaths::resolveCandidates("agent-guide.md"))
    findings.guides.push_back(examineGuideFile(candidate));
  return findings;
}

int runCheck() {
  CheckFindings findings = gatherFindings();
  for (const auto& line : renderFindings(findings)) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
  return exitStatusFor(findings);
}

} // namespace vantrel::cli
