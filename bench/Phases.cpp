#include "Phases.h"

#include "DirectClient.h"
#include "ProcStats.h"
#include "ServerProcess.h"
#include "Stats.h"
#include "Workload.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vantrel::bench {
namespace {

using Stream = ChildProcess::Stream;
using namespace std::chrono_literals;

constexpr int kBlock = 500; // alternate server and floor in blocks, so drift hits both alike

// Sequential pings. `tally` is null for the floor, whose answer is one fixed line; otherwise
// each reply is checked and counted there.
bool pingRoundTrips(ChildProcess& child, int count, std::int64_t& nextId, Report* tally,
                    std::vector<double>* samples, std::string& error) {
  std::string line;
  for (int i = 0; i < count; ++i) {
    std::int64_t id = nextId++;
    std::string request = pingLine(id);
    auto start = Clock::now();
    if (!child.write(request) || !readLine(child, line)) {
      error = "no answer to ping " + std::to_string(id);
      return false;
    }
    auto end = Clock::now();
    if (samples != nullptr)
      samples->push_back(micros(end - start));
    if (tally != nullptr && !isPingReply(line, id)) {
      tallyWrongReply(*tally, line, id);
      error = "wrong answer to ping " + std::to_string(id) + ": " + shorten(line);
      return false;
    }
  }
  if (tally != nullptr)
    tally->countReplies(static_cast<std::uint64_t>(count), 0);
  return true;
}

// Writes `count` pings without waiting while this thread counts the replies; pings per second,
// or 0 with `error`. With a `tally`, replies must come in request order (they are answered on
// the reading thread) and each must be right.
double pipelinedRate(ChildProcess& child, int count, std::int64_t firstId, Report* tally,
                     std::string& error) {
  std::string burst;
  for (int i = 0; i < count; ++i)
    burst += pingLine(firstId + i);
  std::string received;
  received.reserve(static_cast<std::size_t>(count) * 48);
  auto start = Clock::now();
  auto deadline = start + 60s;
  std::atomic<bool> written{false};
  std::thread writer([&] { written = child.write(burst, 60s); });
  std::size_t lines = 0, scanned = 0;
  while (lines < static_cast<std::size_t>(count) && Clock::now() < deadline) {
    auto more = child.readSome(Stream::Stdout, deadline);
    if (!more)
      break;
    received += *more;
    lines += static_cast<std::size_t>(
        std::count(received.begin() + static_cast<long>(scanned), received.end(), '\n'));
    scanned = received.size();
  }
  auto end = Clock::now();
  if (lines < static_cast<std::size_t>(count))
    child.sendSignal(SIGKILL); // frees a writer stuck on a full pipe
  writer.join();
  if (lines < static_cast<std::size_t>(count)) {
    error = std::to_string(lines) + " of " + std::to_string(count) + " pipelined replies";
    return 0;
  }
  if (tally != nullptr) {
    std::size_t from = 0;
    for (int i = 0; i < count; ++i) {
      std::size_t to = received.find('\n', from);
      std::string_view line(received.data() + from, to - from);
      if (!isPingReply(line, firstId + i)) {
        tally->countReplies(static_cast<std::uint64_t>(i), 0);
        tallyWrongReply(*tally, line, firstId + i);
        error = "pipelined reply " + std::to_string(i) + " is wrong: " + shorten(line);
        return 0;
      }
      from = to + 1;
    }
    tally->countReplies(static_cast<std::uint64_t>(count), 0);
  }
  return count / std::chrono::duration<double>(end - start).count();
}

bool relayCall(ChildProcess& child, std::int64_t id, std::vector<double>* samples, Report& tally,
               std::string& error) {
  std::string shortID = shortIdFor(id);
  std::string request = getAssetLine(id, shortID);
  std::string line;
  auto start = Clock::now();
  if (!child.write(request) || !readLine(child, line)) {
    error = "no answer to get_asset " + std::to_string(id);
    return false;
  }
  auto end = Clock::now();
  if (samples != nullptr)
    samples->push_back(micros(end - start));
  auto reply = parseToolReply(line);
  if (!reply || reply->id != id || reply->text != BenchBridge::assetBody(shortID)) {
    tallyWrongReply(tally, line, id);
    error = "wrong answer to get_asset " + std::to_string(id) + ": " + shorten(line);
    return false;
  }
  tally.countReplies(1, 0);
  return true;
}

bool directCall(DirectClient& client, std::int64_t i, std::vector<double>* samples,
                std::string& error) {
  std::string shortID = shortIdFor(i);
  auto start = Clock::now();
  auto body = client.get("/assets/" + shortID);
  auto end = Clock::now();
  if (!body || *body != BenchBridge::assetBody(shortID)) {
    error = "direct GET " + std::to_string(i) + " failed";
    return false;
  }
  if (samples != nullptr)
    samples->push_back(micros(end - start));
  return true;
}

} // namespace

BenchConfig BenchConfig::quick(BenchConfig full) {
  full.coldStarts = 5;
  full.warmup = 100;
  full.pings = 2000;
  full.pipelined = 5000;
  full.assetCalls = 2000;
  full.heldCalls = 200;
  full.manyCalls = 2000;
  full.hold = 300ms;
  full.largeBytes = 16u << 20;
  return full;
}

void runColdStart(const BenchConfig& config, Report& report) {
  // The floor program, started and stopped the same way, shows what creating and ending a process
  // costs on this machine before the server does any work of its own.
  std::vector<double> starts, exits, floorStarts, floorExits;
  for (int i = 0; i < config.coldStarts; ++i) {
    std::string error;
    auto spawned = Clock::now();
    auto child = startServer(config, report, error);
    auto answered = Clock::now();
    if (!child) {
      report.fail("cold start", error);
      return;
    }
    auto exit = finish(*child, error);
    auto reaped = Clock::now();
    if (!exit) {
      report.fail("exit after end of input", error);
      return;
    }
    starts.push_back(millis(answered - spawned));
    exits.push_back(millis(reaped - answered));

    std::string line;
    spawned = Clock::now();
    auto floor = spawn(config.floorPath, config, error);
    if (!floor || !floor->write(initializeLine(0)) || !readLine(*floor, line)) {
      report.fail("cold start floor", error.empty() ? "no answer" : error);
      return;
    }
    answered = Clock::now();
    floor->closeInput();
    floor->waitExit(kExitTimeout);
    floorStarts.push_back(millis(answered - spawned));
    floorExits.push_back(millis(Clock::now() - answered));
  }
  auto start = summarize(starts);
  auto floorStart = summarize(floorStarts);
  auto exit = summarize(exits);
  report.add(row("cold_start_ms", "cold start to initialize answer (median)", start.p50, "ms",
                 floorStart.p50,
                 "max " + formatNumber(start.max) + " ms over " + std::to_string(start.count) +
                     "; floor: the stdio floor program started and answering one line"));
  report.add(atMost(row("cold_start_ratio", "cold start / stdio floor (medians)",
                        start.p50 / floorStart.p50, "×"),
                    1.8, "≤ 1.8×"));
  report.add(atMost(row("exit_after_eof_ms", "exit after end of input (median)", exit.p50, "ms",
                        summarize(floorExits).p50,
                        "max " + formatNumber(exit.max) + " ms over " + std::to_string(exit.count)),
                    2, "≤ 2 ms"));
}

void runPing(const BenchConfig& config, Report& report) {
  std::string error;
  auto server = startServer(config, report, error);
  if (!server) {
    report.fail("ping", error);
    return;
  }
  // Let start-up allocations settle before reading the resident set.
  std::this_thread::sleep_for(100ms);
  auto idle = readProcStatus(server->pid());
  std::string split;
  if (idle)
    split = "anonymous " + formatNumber(idle->anonKiB / 1024.0) + " MiB, mapped files " +
            formatNumber(idle->fileKiB / 1024.0) + " MiB";
  report.add(atMost(row("idle_rss_mib", "RSS after initialize (idle)",
                        idle ? std::optional<double>(idle->rssKiB / 1024.0) : std::nullopt, "MiB",
                        std::nullopt, split),
                    2.5, "≤ 2.5 MiB"));

  auto floor = spawn(config.floorPath, config, error);
  if (!floor) {
    report.fail("ping floor", error);
    return;
  }
  std::int64_t serverId = 1, floorId = 1;
  std::vector<double> serverTimes, floorTimes;
  if (!pingRoundTrips(*server, config.warmup, serverId, &report, nullptr, error) ||
      !pingRoundTrips(*floor, config.warmup, floorId, nullptr, nullptr, error)) {
    report.fail("ping", error);
    return;
  }
  for (int done = 0; done < config.pings; done += kBlock) {
    int n = std::min(kBlock, config.pings - done);
    if (!pingRoundTrips(*server, n, serverId, &report, &serverTimes, error) ||
        !pingRoundTrips(*floor, n, floorId, nullptr, &floorTimes, error)) {
      report.fail("ping", error);
      return;
    }
  }
  auto s = summarize(serverTimes);
  auto f = summarize(floorTimes);
  report.add(row("ping_p50_us", "ping round trip p50", s.p50, "µs", f.p50,
                 "over " + std::to_string(s.count) + " sequential pings"));
  report.add(row("ping_p99_us", "ping round trip p99", s.p99, "µs", f.p99));
  report.add(
      atMost(row("ping_p50_ratio", "ping p50 / stdio floor p50", s.p50 / f.p50, "×"), 2, "≤ 2×"));

  double rate = pipelinedRate(*server, config.pipelined, serverId, &report, error);
  if (rate == 0) {
    report.fail("pipelined ping", error);
    return;
  }
  double floorRate = pipelinedRate(*floor, config.pipelined, floorId, nullptr, error);
  report.add(atLeast(row("pipelined_pings_per_s", "pipelined pings", rate, "/s",
                         floorRate > 0 ? std::optional<double>(floorRate) : std::nullopt,
                         std::to_string(config.pipelined) +
                             " written without waiting; floor: one write per reply"),
                     330000, "≥ 330000 /s"));
  if (!finish(*server, error))
    report.fail("ping", error);
}

void runGetAsset(const BenchConfig& config, BenchBridge& bridge, Report& report) {
  bridge.setHold(0ms);
  bridge.resetCounts();
  std::string error;
  auto server = startServer(config, report, error);
  if (!server) {
    report.fail("get_asset", error);
    return;
  }
  DirectClient direct(bridge.port(), bridge.token());
  std::int64_t relayId = 1, directId = 1;
  std::vector<double> relayTimes, directTimes;
  for (int i = 0; i < config.warmup; ++i) {
    if (!relayCall(*server, relayId++, nullptr, report, error) ||
        !directCall(direct, directId++, nullptr, error)) {
      report.fail("get_asset", error);
      return;
    }
  }
  for (int done = 0; done < config.assetCalls; done += kBlock) {
    int n = std::min(kBlock, config.assetCalls - done);
    for (int i = 0; i < n; ++i) {
      if (!relayCall(*server, relayId++, &relayTimes, report, error)) {
        report.fail("get_asset", error);
        return;
      }
    }
    for (int i = 0; i < n; ++i) {
      if (!directCall(direct, directId++, &directTimes, error)) {
        report.fail("get_asset direct", error);
        return;
      }
    }
  }
  // Each call's usage report is part of its cost: let the last ones land before the reap.
  const auto relayCalls = static_cast<std::uint64_t>(relayId - 1);
  bridge.waitTelemetry(relayCalls, Clock::now() + 2s);
  BridgeCounts counts = bridge.counts();
  auto exit = finish(*server, error);
  if (!exit) {
    report.fail("get_asset", error);
    return;
  }

  auto r = summarize(relayTimes);
  auto d = summarize(directTimes);
  report.add(
      row("get_asset_p50_us", "get_asset round trip p50", r.p50, "µs", d.p50,
          "floor: the same GET on one kept socket; " + std::to_string(r.count) + " calls each"));
  report.add(row("get_asset_p99_us", "get_asset round trip p99", r.p99, "µs", d.p99));
  report.add(
      atMost(row("get_asset_p50_ratio", "get_asset p50 / direct GET p50", r.p50 / d.p50, "×"), 2.5,
             "≤ 2.5×"));
  report.add(atMost(
      row("get_asset_p99_ratio", "get_asset p99 / direct GET p99", r.p99 / d.p99, "×"), 3, "≤ 3×"));
  double cpuPerCall = cpuMillis(exit->usage) * 1e3 / static_cast<double>(relayCalls);
  report.add(atMost(row("server_cpu_us_per_call", "server CPU per get_asset (with usage report)",
                        cpuPerCall, "µs", std::nullopt,
                        "user+system over the server's life / " + std::to_string(relayCalls) +
                            " calls; " + std::to_string(counts.telemetry) + " reports received"),
                    70, "≤ 70 µs"));
  double serverConnections =
      static_cast<double>(counts.connections) - static_cast<double>(direct.newConnections());
  report.add(atMost(row("bridge_connections", "Bridge connections opened by the server",
                        serverConnections, "", std::nullopt,
                        "for " + std::to_string(relayCalls) + " GETs and " +
                            std::to_string(counts.telemetry) + " report POSTs"),
                    16, "≤ 16 (reused)"));
}

void addFramingRow(Report& report) {
  std::string note = std::to_string(report.repliesChecked()) + " reply lines checked";
  if (!report.misframedExample().empty())
    note += "; first misframed: " + report.misframedExample();
  report.add(atMost(row("misframed_replies", "replies not one line with an id as sent",
                        static_cast<double>(report.misframed()), "", std::nullopt, note),
                    0, "0"));
}

} // namespace vantrel::bench
