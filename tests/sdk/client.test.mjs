// vantrel-mcp as a real agent host sees it: the official MCP TypeScript SDK client talks to the
// server over stdio, with vantrel-hostsim serving the Bridge. The SDK checks every result
// against its own schema, so a reply it cannot parse fails the call that made it.
//
// Paths of the programs come from VANTREL_MCP and VANTREL_HOSTSIM.

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import Ajv from "ajv";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync, mkdirSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, describe, it } from "node:test";

const kCatalogue = [
  "get_guide", "search_assets", "get_asset", "get_events", "import_from_link", "import_file",
  "create_gallery", "add_note", "extract_audio", "save_transcript", "extract_frames",
  "ai_export", "ai_settle",
];
const kReadyTimeoutMs = 10_000;

function requiredEnv(name) {
  const value = process.env[name];
  assert.ok(value, `${name} must be set to the path of a built binary`);
  return value;
}

// The server works out its support directory from HOME (macOS) or XDG_DATA_HOME (elsewhere);
// the stand-in is told the same directory explicitly.
function makeHome() {
  const home = mkdtempSync(join(tmpdir(), "vantrel-sdk-"));
  const xdg = join(home, "share");
  const support =
    process.platform === "darwin" ? join(home, "Library", "Application Support") : xdg;
  const scratch = join(home, "tmp");
  for (const dir of [xdg, support, scratch]) mkdirSync(dir, { recursive: true });
  return { home, support, env: { HOME: home, XDG_DATA_HOME: xdg, TMPDIR: scratch } };
}

// Resolves once the stand-in prints its one "listening" line on stderr.
function startHostsim(binary, support, env) {
  const child = spawn(binary, ["--support-dir", support], {
    env: { ...process.env, ...env },
    stdio: ["ignore", "ignore", "pipe"],
  });
  const ready = new Promise((resolve, reject) => {
    let said = "";
    const timer = setTimeout(() => {
      reject(new Error(`vantrel-hostsim not ready after ${kReadyTimeoutMs} ms: ${said}`));
    }, kReadyTimeoutMs);
    child.stderr.setEncoding("utf8");
    child.stderr.on("data", (chunk) => {
      said += chunk;
      if (said.includes("\n")) {
        clearTimeout(timer);
        if (said.startsWith("vantrel-hostsim: listening on 127.0.0.1:")) resolve(said.trim());
        else reject(new Error(`vantrel-hostsim said: ${said}`));
      }
    });
    child.on("error", (error) => { clearTimeout(timer); reject(error); });
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`vantrel-hostsim exited with ${code} before it was ready: ${said}`));
    });
  });
  const exited = new Promise((resolve) => {
    child.on("exit", (code, signal) => resolve({ code, signal }));
  });
  return { child, ready, exited };
}

function textOf(result) {
  assert.ok(Array.isArray(result.content) && result.content.length === 1, "one content item");
  assert.equal(result.content[0].type, "text");
  assert.equal(typeof result.content[0].text, "string");
  assert.equal(typeof result.isError, "boolean");
  return result.content[0].text;
}

describe("vantrel-mcp through the MCP TypeScript SDK", { timeout: 60_000 }, () => {
  const mcpBinary = requiredEnv("VANTREL_MCP");
  const hostsimBinary = requiredEnv("VANTREL_HOSTSIM");
  const { home, support, env } = makeHome();
  let hostsim;
  let client;
  let transport;
  const validators = new Map();
  const cards = {};

  // Every call in this suite goes through here: its arguments must satisfy the tool's own
  // schema (so the test asks nothing a schema-checking host would refuse), and the SDK's
  // parsing of the result must succeed.
  async function call(name, args, { expectError = false } = {}) {
    const validate = validators.get(name);
    if (validate) {
      assert.ok(validate(args), `${name} arguments: ${JSON.stringify(validate.errors)}`);
    }
    const result = await client.callTool({ name, arguments: args });
    const text = textOf(result);
    assert.equal(result.isError, expectError, `${name} ${JSON.stringify(args)} -> ${text}`);
    return text;
  }
  const callJson = async (name, args) => JSON.parse(await call(name, args));

  before(async () => {
    hostsim = startHostsim(hostsimBinary, support, env);
    await hostsim.ready;
    transport = new StdioClientTransport({ command: mcpBinary, args: [], env, stderr: "inherit" });
    client = new Client({ name: "vantrel-sdk-test", version: "1.0.0" });
    await client.connect(transport);
  });

  after(async () => {
    // Each step runs whatever happened before it, so nothing outlives the suite.
    try {
      await client?.close();
    } finally {
      try {
        await stopHostsim();
      } finally {
        rmSync(home, { recursive: true, force: true });
      }
    }
  });

  async function stopHostsim() {
    const child = hostsim?.child;
    if (!child || child.exitCode !== null || child.signalCode !== null) return;
    const wasReady = await hostsim.ready.then(() => true, () => false);
    child.kill("SIGTERM");
    let timer;
    const stopped = await Promise.race([
      hostsim.exited,
      new Promise((resolve) => { timer = setTimeout(resolve, 5000, null); }),
    ]);
    clearTimeout(timer);
    if (!stopped) child.kill("SIGKILL");
    if (!wasReady) return; // it failed to start; that failure is already reported
    assert.deepEqual(stopped, { code: 0, signal: null }, "vantrel-hostsim exits 0 on SIGTERM");
    assert.ok(!existsSync(join(support, "com.quillmoor.vantrel", "bridge.token")),
      "vantrel-hostsim removes bridge.token");
  }

  it("shakes hands as vantrel-mcp 1.0.0", () => {
    assert.deepEqual(client.getServerVersion(), { name: "vantrel-mcp", version: "1.0.0" });
    assert.deepEqual(client.getServerCapabilities(), { tools: {} });
    assert.match(client.getInstructions(), /get_guide/);
  });

  it("lists the thirteen tools in order, each with a schema that compiles", async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((tool) => tool.name), kCatalogue);
    const ajv = new Ajv({ strict: true, allErrors: true });
    for (const tool of tools) {
      assert.equal(typeof tool.description, "string");
      assert.equal(tool.inputSchema.type, "object", tool.name);
      validators.set(tool.name, ajv.compile(tool.inputSchema));
    }
    // The schemas say what is required; a compiled validator that accepts anything is no check.
    assert.equal(validators.get("get_asset")({}), false);
    assert.equal(validators.get("extract_frames")({ shortID: "x", times: ["a"] }), false);
  });

  it("reads the guide, searches and reads cards", async () => {
    assert.match(await call("get_guide", {}), /^# /);
    const { assets } = await callJson("search_assets", { limit: 50 });
    const byKind = (kind) => assets.filter((a) => a.mediaKind === kind).map((a) => a.shortID);
    const videos = byKind("video");
    assert.ok(videos.length >= 2, "the sample library has videos");
    assert.ok(byKind("image").length >= 1 && byKind("text").length >= 1);
    cards.image = byKind("image")[0];
    const found = await callJson("search_assets", {
      query: "", mediaKind: "video", hasNotes: false, sortKey: "title", ascending: true, offset: 0,
    });
    assert.ok(found.assets.every((a) => a.mediaKind === "video"));

    for (const shortID of videos) {
      const card = await callJson("get_asset", { shortID });
      assert.equal(card.shortID, shortID);
      if (card.transcriptSource === "tencent_cloud") cards.cloudTranscribed ??= shortID;
      else cards.video ??= shortID;
    }
    assert.ok(cards.video && cards.cloudTranscribed, "videos with and without cloud transcript");
    const events = await callJson("get_events", {});
    assert.equal(typeof events.cursor, "number");
    await call("get_events", { since: events.cursor });
  });

  it("extracts frames and audio, and writes a note and a transcript", async () => {
    const frames = await callJson("extract_frames", {
      shortID: cards.video, times: [1, 2.5], maxWidth: 640,
    });
    assert.equal(frames.frames.length, 2);
    cards.framePaths = frames.frames.map((frame) => frame.path);
    const single = await callJson("extract_frames", { shortID: cards.video, t: 3 });
    const at = single.frames?.[0]?.actualSeconds ?? single.actualSeconds;
    assert.equal(typeof at, "number");

    await call("extract_audio", { shortID: cards.video, format: "m4a" });
    const shortID = cards.video;
    await call("add_note", {
      shortID, kind: "observation", timestamp: at, time_source: "frame", content: "画面里是舞台。",
    });
    await call("add_note", { shortID, kind: "ai_board", title: "总结一下", content: "一句话总结。" });
    await call("save_transcript", { shortID, text: "大家好，这是 SDK 测试写回的转写。" });
    // The user's cloud transcript is protected unless the agent says otherwise.
    const protectedCard = { shortID: cards.cloudTranscribed, text: "覆盖？" };
    await call("save_transcript", protectedCard, { expectError: true });
  });

  it("imports a link, a file and a gallery", async () => {
    await call("import_from_link", { url: "https://v.douyin.com/iSdkTest1/", title: "SDK 链接" });
    await call("import_file", { path: cards.framePaths[0], title: "SDK 测试图片" });
    await call("create_gallery", { paths: cards.framePaths, title: "SDK 测试图集" });
  });

  it("exports a worksheet and settles it", async () => {
    const exported = await callJson("ai_export", { shortID: cards.image });
    assert.ok(exported.path.endsWith(".md"));
    const settled = await callJson("ai_settle", {});
    assert.equal(settled.recovered, 0); // nothing was written under the delivery marker
    assert.ok(settled.skipped >= 1);
  });

  it("answers an unknown tool with an error result, not a protocol error", async () => {
    const result = await client.callTool({ name: "no_such_tool", arguments: {} });
    textOf(result);
    assert.equal(result.isError, true);
  });
});
