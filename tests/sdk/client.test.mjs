// vantrel-mcp as a real agent host sees it: the official MCP TypeScript SDK client talks to the
// server over stdio, with vantrel-hostsim serving the Bridge (and, for replies sized to the byte,
// a plain Node HTTP server). The SDK checks every result against its own schema, so a reply it
// cannot parse fails the call that made it.
//
// Paths of the programs come from VANTREL_MCP and VANTREL_HOSTSIM.

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import Ajv from "ajv";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync, mkdirSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
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

// The longest response line the server writes, line feed included: the SDK's stdio reader
// closes the session once what it holds plus the chunk it has just read passes 10 MiB, and one
// read of up to 64 KiB may already carry the next line's first bytes.
const kSdkReadLimit = 10 * 1024 * 1024;
const kMaxResponseLine = kSdkReadLimit - 64 * 1024;
const kMiB = 1024 * 1024;

// The size of the tool-call line for `id` around `text`, line feed included, as the server
// writes it: compact JSON; member order does not change the size.
function toolCallLineSize(id, text) {
  const result = { content: [{ type: "text", text }], isError: false };
  return Buffer.byteLength(JSON.stringify({ jsonrpc: "2.0", id, result })) + 1;
}

function refusal(size) {
  return `Bridge 的回复过大：共 ${size} 字节，超过 agent 宿主单条消息 ${kMaxResponseLine} ` +
    "字节（约 9.9 MiB）的上限，未转给 agent。请缩小请求范围后重试（如减小 limit）。";
}

// The Bridge as a plain HTTP server: GET /assets/<shortID> answers 200 with bodyFor(shortID),
// anything else (the usage reports) with "{}". Writes bridge.token where the server looks.
async function startFakeBridge(support, bodyFor) {
  const server = createServer((request, response) => {
    request.resume();
    const asset = request.url.match(/^\/assets\/([^/?]+)$/);
    const body = asset ? bodyFor(decodeURIComponent(asset[1])) : "{}";
    response.writeHead(200, {
      "Content-Type": "application/json",
      "Content-Length": Buffer.byteLength(body),
    });
    response.end(body);
  });
  // A server that refuses a body on its length alone may hang up before it has all of it.
  server.on("clientError", (_error, socket) => socket.destroy());
  await new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(0, "127.0.0.1", resolve);
  });
  const dir = join(support, "com.quillmoor.vantrel");
  mkdirSync(dir, { recursive: true });
  writeFileSync(join(dir, "bridge.token"),
    JSON.stringify({ port: server.address().port, token: "sdk-line-limit" }));
  return {
    async stop() {
      server.closeAllConnections();
      await new Promise((resolve) => server.close(resolve));
    },
  };
}

// Reads the server's stdout beside the SDK's own reader, chunk by chunk as the SDK gets them,
// and keeps for each line its size and, from the chunk that ended it, how much the SDK's reader
// held (the unfinished line plus the whole chunk, which it checks before it looks for line ends)
// and how many bytes of the lines after it came along. The SDK keeps its child process private.
function tapStdout(transport) {
  const stdout = transport._process?.stdout;
  assert.ok(stdout, "StdioClientTransport no longer keeps its child process in _process");
  const tap = { lines: [], unfinished: 0 };
  const waiting = [];
  stdout.on("data", (chunk) => {
    const held = tap.unfinished + chunk.length;
    let start = 0;
    for (let end = chunk.indexOf(0x0a); end !== -1; end = chunk.indexOf(0x0a, start)) {
      const size = tap.unfinished + end - start + 1;
      tap.lines.push({ size, held, nextBytes: chunk.length - end - 1 });
      tap.unfinished = 0;
      start = end + 1;
    }
    tap.unfinished += chunk.length - start;
    for (const waiter of waiting.splice(0)) {
      if (tap.unfinished >= waiter.bytes) waiter.resolve();
      else waiting.push(waiter);
    }
  });
  // Resolves once the SDK holds at least `bytes` of a line it has not yet seen the end of.
  tap.holding = (bytes) => new Promise((resolve) => {
    if (tap.unfinished >= bytes) resolve();
    else waiting.push({ bytes, resolve });
  });
  return tap;
}

// What a call came to, for the log: its value, or the message it failed with.
async function settle(promise) {
  try {
    return { value: await promise };
  } catch (error) {
    return { error: error.message };
  }
}

function outcomeOf(settled) {
  if (settled.error !== undefined) return `failed: ${settled.error}`;
  const result = settled.value;
  const text = result.content?.[0]?.text ?? "";
  return `isError ${result.isError}, ` +
    (text.length > 200 ? `text of ${text.length} bytes` : `text "${text}"`);
}

describe("the response line limit through the SDK's stdio reader", { timeout: 60_000 }, () => {
  const mcpBinary = requiredEnv("VANTREL_MCP");
  const { home, support, env } = makeHome();
  // The SDK numbers its requests itself; each reply is sized from the id its call went out with,
  // when the server asks for it.
  const idOf = new Map();
  const extraOf = new Map();
  const served = new Map();
  let bridge;
  let client;
  let tap;

  before(async () => {
    bridge = await startFakeBridge(support, (shortID) => {
      if (!served.has(shortID)) {
        const size = kMaxResponseLine - toolCallLineSize(idOf.get(shortID), "");
        served.set(shortID, "b".repeat(size + extraOf.get(shortID)));
      }
      return served.get(shortID);
    });
    const transport =
      new StdioClientTransport({ command: mcpBinary, args: [], env, stderr: "inherit" });
    const send = transport.send.bind(transport);
    transport.send = (message, options) => {
      const shortID = message.method === "tools/call" ? message.params?.arguments?.shortID : null;
      if (shortID) idOf.set(shortID, message.id);
      return send(message, options);
    };
    client = new Client({ name: "vantrel-sdk-line-test", version: "1.0.0" });
    await client.connect(transport);
    tap = tapStdout(transport);
  });

  after(async () => {
    try {
      await client?.close();
    } finally {
      try {
        await bridge?.stop();
      } finally {
        rmSync(home, { recursive: true, force: true });
      }
    }
  });

  it("delivers a line of exactly the limit whole, the next answer right behind it", async () => {
    extraOf.set("fits", 0);
    served.set("behind", "n".repeat(kMiB));
    const mark = tap.lines.length;
    const big = settle(client.callTool({ name: "get_asset", arguments: { shortID: "fits" } }));
    // While the long line is still on its way, a ping (answered right after the line that holds
    // the output) and a call with a long answer, so the chunk that ends the long line carries
    // the next one's start.
    await Promise.race([tap.holding(kMiB), big]);
    const [bigDone, behind, ping] = await Promise.all([
      big,
      settle(client.callTool({ name: "get_asset", arguments: { shortID: "behind" } })),
      settle(client.ping()),
    ]);
    const lines = tap.lines.slice(mark);
    console.log(`line limit: line of ${lines[0]?.size} bytes (limit ${kMaxResponseLine}): ` +
      `${outcomeOf(bigDone)}; the SDK held at most ${lines[0]?.held} of ${kSdkReadLimit} bytes, ` +
      `${lines[0]?.nextBytes} of them from the lines behind it; next: ${outcomeOf(behind)}, ` +
      `ping ${ping.error ?? "answered"}`);

    assert.equal(bigDone.error, undefined, "the SDK kept the session");
    assert.equal(bigDone.value.isError, false);
    assert.equal(textOf(bigDone.value), served.get("fits"));
    assert.equal(textOf(behind.value), "n".repeat(kMiB));
    assert.deepEqual(ping, { value: {} });
    assert.equal(lines.length, 3, "the long line, the ping's and the next call's");
    assert.equal(lines[0].size, kMaxResponseLine, "the line as written, its line feed included");
    assert.ok(lines[0].nextBytes > 0, "the chunk that ended the long line began the next one");
    assert.ok(lines[0].held <= kSdkReadLimit);
  });

  // One byte over the limit the server refuses; 10 MiB and one byte is where the SDK itself
  // would close the session, whatever came behind.
  const refused = [
    { label: "one byte over the limit", shortID: "over", extra: 1 },
    {
      label: "past the SDK's own 10 MiB", shortID: "past",
      extra: kSdkReadLimit - kMaxResponseLine + 1,
    },
  ];
  for (const { label, shortID, extra } of refused) {
    it(`refuses a reply whose line would be ${label}, and the session goes on`, async () => {
      extraOf.set(shortID, extra);
      const settled = await settle(client.callTool({ name: "get_asset", arguments: { shortID } }));
      const ping = await settle(client.ping());
      const bodySize = served.get(shortID).length;
      const wouldBe = toolCallLineSize(idOf.get(shortID), served.get(shortID));
      console.log(`line limit: ${label}: a reply of ${bodySize} bytes would make a line of ` +
        `${wouldBe} bytes (limit ${kMaxResponseLine}): ${outcomeOf(settled)}; ` +
        `ping afterwards ${ping.error ?? "answered"}`);

      assert.equal(wouldBe, kMaxResponseLine + extra);
      assert.equal(settled.error, undefined, "the SDK kept the session");
      assert.equal(settled.value.isError, true);
      assert.equal(textOf(settled.value), refusal(bodySize));
      assert.deepEqual(ping, { value: {} }, "the session goes on");
    });
  }
});
