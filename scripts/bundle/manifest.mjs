// Writes the bundle's manifest.json to standard output. The tools are the ones the server itself
// lists: standard input holds its answers to initialize and tools/list (id 2), one per line, so
// the names and descriptions a host shows before the first start are those it will be served.
// Usage: node manifest.mjs VERSION < answers
import { readFileSync } from "node:fs";

const version = process.argv[2];
if (!/^\d+\.\d+\.\d+$/.test(version ?? "")) {
  console.error(`manifest.mjs: no version given (got "${version}")`);
  process.exit(2);
}

const answers = readFileSync(0, "utf8").split("\n").filter((line) => line.trim() !== "");
const list = answers.map((line) => JSON.parse(line)).find((answer) => answer.id === 2);
const tools = list?.result?.tools;
if (!Array.isArray(tools) || tools.length === 0) {
  console.error("manifest.mjs: the server's tools/list answer holds no tools");
  process.exit(1);
}

const manifest = {
  manifest_version: "0.3",
  name: "vantrel-mcp",
  display_name: "砚舟素材库 (vantrel-mcp)",
  version,
  description:
    "让智能体检索、阅读和整理砚舟的本地素材库；需要砚舟在本机运行。" +
    " Lets an agent search, read and add to the 砚舟 app's local media library; needs the 砚舟 app running on this Mac.",
  long_description:
    "vantrel-mcp 把智能体的工具调用转给本机砚舟的 Bridge（只连 127.0.0.1）：搜索与阅读内容卡片，" +
    "导入链接、文件和图集，写笔记与字幕，提取音频与画面，导出并结算 AI 工作单。" +
    "它自己不存任何素材，也无需设置：砚舟运行时写下的 bridge.token 告诉它端口和口令。" +
    "装好后若工具回答“砚舟未运行”，请启动砚舟。\n\n" +
    "vantrel-mcp relays an agent's tool calls to the Bridge of the 砚舟 app on this Mac (127.0.0.1 only): " +
    "search and read content cards, import links, files and image sets, write notes and transcripts, " +
    "extract audio and frames, export and settle AI worksheets. It keeps no library data and has no " +
    "settings: the bridge.token file the running app writes gives it the port and token. If a tool " +
    "answers that 砚舟 is not running, start the app.",
  author: { name: "vantrel-mcp maintainers" },
  // The project has chosen no licence yet (LICENSE, in the bundle too).
  license: "UNLICENSED",
  keywords: ["砚舟", "media library", "素材库", "mcp"],
  server: {
    type: "binary",
    entry_point: "server/vantrel-mcp",
    // No env: hosts do not pass a binary bundle's, and the server needs none on macOS.
    mcp_config: { command: "${__dirname}/server/vantrel-mcp", args: [] },
  },
  tools: tools.map(({ name, description }) => ({ name, description })),
  compatibility: { platforms: ["darwin"] },
};
process.stdout.write(JSON.stringify(manifest, null, 2) + "\n");
