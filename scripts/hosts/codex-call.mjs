// codex-call.mjs CODEX TOKEN_FILE SERVER...: starts `codex app-server`, opens a thread, calls
// get_events on each SERVER in turn, and prints per server one line of tab-separated fields: the
// server, its startup status, whether the call failed, the usage reports the stand-in logged for
// it, and the call's text.
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';

const [codex, tokenFile, ...servers] = process.argv.slice(2);
const { port, token } = JSON.parse(readFileSync(tokenFile, 'utf8'));
const telemetry = async () => {
  const reply = await fetch(`http://127.0.0.1:${port}/telemetry`, {
    headers: { Authorization: `Bearer ${token}` },
  });
  return (await reply.json()).reports ?? [];
};

const child = spawn(codex, ['app-server'], { stdio: ['pipe', 'pipe', 'ignore'] });
setTimeout(() => {
  console.error('codex app-server: no answer in 45 s');
  child.kill();
  process.exit(1);
}, 45000).unref();
const waiting = new Map();
const startup = {};
let nextId = 1;
const send = (message) => child.stdin.write(JSON.stringify({ jsonrpc: '2.0', ...message }) + '\n');
const request = (method, params) => new Promise((resolve, reject) => {
  const id = nextId++;
  waiting.set(id, (message) => {
    if (message.error) reject(new Error(`${method}: ${JSON.stringify(message.error)}`));
    else resolve(message.result);
  });
  send({ id, method, params });
});
createInterface({ input: child.stdout }).on('line', (line) => {
  const message = JSON.parse(line);
  if (message.method === 'mcpServer/startupStatus/updated') {
    startup[message.params.name] = message.params.status;
  } else if (!message.method && waiting.has(message.id)) {
    waiting.get(message.id)(message);
    waiting.delete(message.id);
  }
});

try {
  await request('initialize', { clientInfo: { name: 'vantrel-hosts', version: '1' } });
  send({ method: 'initialized' });
  const { thread } = await request('thread/start', { ephemeral: true, cwd: process.cwd() });
  for (const server of servers) {
    const before = (await telemetry()).length;
    const result = await request('mcpServer/tool/call',
      { server, threadId: thread.id, tool: 'get_events', arguments: {} });
    // The server posts its usage report after it has answered: wait a little for it.
    let reports = await telemetry();
    for (let waited = 0; reports.length === before && waited < 3000; waited += 100) {
      await new Promise((resolve) => setTimeout(resolve, 100));
      reports = await telemetry();
    }
    const logged = reports.slice(before).map((r) => `${r.tool}:${r.ok ? 'ok' : 'failed'}`);
    const text = (result.content ?? []).map((c) => c.text ?? '').join(' ');
    const status = startup[server] ?? 'none';
    const isError = !!result.isError;
    console.log([server, status, isError, logged.join(',') || 'none',
                 text.replace(/[\t\n]/g, ' ')].join('\t'));
  }
} catch (error) {
  console.error(error.message);
  process.exitCode = 1;
} finally {
  child.stdin.end();
  child.kill();
}
