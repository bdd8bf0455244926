#include "cli/Options.h"

#include "cli/Printable.h"
#include "common/Version.h"

#include <optional>

namespace vantrel::cli {
namespace {

constexpr std::string_view kProgram = "vantrel-mcp";

Invocation misuse(std::string_view what, std::string_view argument) {
  std::string line(kProgram);
  line.append(": ").append(what).append(" “").append(printable(argument));
  line.append("”，用法见 ").append(kProgram).append(" --help");
  return Invocation{Command::misuse, std::move(line)};
}

std::optional<Command> optionNamed(std::string_view argument) {
  if (argument == "--check")
    return Command::check;
  if (argument == "--version")
    return Command::version;
  if (argument == "--help" || argument == "-h")
    return Command::help;
  return std::nullopt;
}

} // namespace

Invocation parseArguments(const std::vector<std::string_view>& args) {
  if (args.empty())
    return Invocation{};
  auto command = optionNamed(args[0]);
  if (!command)
    return misuse("未知参数", args[0]);
  if (args.size() > 1)
    return misuse("只接受一个选项，多余的参数", args[1]);
  return Invocation{*command, {}};
}

Invocation parseArguments(int argc, const char* const* argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i)
    args.emplace_back(argv[i]);
  return parseArguments(args);
}

std::string versionText() {
  // Built by appending: GCC 12 warns falsely (-Warray-bounds) on string + literal at -O2.
  std::string text(kProgram);
  text.append(" ").append(kVersion).append("\n");
  return text;
}

std::string helpText() {
  return "vantrel-mcp " VANTREL_VERSION "：砚舟素材库的 MCP 服务器（Model Context Protocol），\n"
         "在标准输入输出上逐行收发 JSON-RPC，把 agent 的工具调用转给砚舟 app 的 Bridge。\n"
         "agent 宿主以无参数方式启动它；下面的选项是给人排查问题用的。\n"
         "\n"
         "用法：vantrel-mcp [选项]\n"
         "  --check      检查下一次工具调用会遇到什么：bridge.token、Bridge 是否应答、\n"
         "               agent-guide.md；Bridge 正常应答时退出码为 0，否则为 1\n"
         "  --version    显示版本\n"
         "  --help, -h   显示本说明\n";
}

} // namespace vantrel::cli
