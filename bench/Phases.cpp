#include "Phases.h"

#include "DirectClient.h"
#include "ProcStats.h"
#include "ServerProcess.h"
#include "Stats.h"
#include "Workload.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

namespace vantrel::bench {
namespace {

using Stream = ChildProcess::Stream;
using namespace std::chrono_literals;

constexpr int kBlock = 500; // alternate relays and floor in blocks, so drift hits all alike

// Sequential pings. `tally` is null for the floor, whose answer is one fixed line; otherwise
// each reply is checked and counted there.
bool pingRoundTrips(ChildProcess& child, int count, std::int64_t& nextId, Tally* tally,
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
    tally->count(static_cast<std::uint64_t>(count), 0);
  return true;
}

// Writes `count` pings without waiting while this thread counts the replies; pings per second,
// or 0 with `error`. With a `tally`, replies must come in request order (they are answered on
// the reading thread) and each must be right.
double pipelinedRate(ChildProcess& child, int count, std::int64_t firstId, Tally* tally,
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
        tally->count(static_cast<std::uint64_t>(i), 0);
        tallyWrongReply(*tally, line, firstId + i);
        error = "pipelined reply " + std::to_string(i) + " is wrong: " + shorten(line);
        return 0;
      }
      from = to + 1;
    }
    tally->count(static_cast<std::uint64_t>(count), 0);
  }
  return count / std::chrono::duration<double>(end - start).count();
}

bool relayCall(ChildProcess& child, std::int64_t id, std::vector<double>* samples, Tally& tally,
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
  tally.count(1, 0);
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

std::vector<std::size_t> rotation(std::size_t count, int block) {
  std::vector<std::size_t> order(count);
  for (std::size_t i = 0; i < count; ++i)
    order[i] = (i + static_cast<std::size_t>(block)) % count;
  return order;
}

void settle(const BenchConfig& config) {
  if (config.settle.count() > 0)
    std::this_thread::sleep_for(config.settle);
}

BenchConfig BenchConfig::quick(BenchConfig full) {
  full.coldStarts = 5;
  full.warmup = 100;
  full.pings = 2000;
  full.pipelined = 5000;
  full.pipelinedRounds = 1;
  full.assetCalls = 2000;
  full.heldCalls = 200;
  full.manyCalls = 2000;
  full.hold = 300ms;
  // The full size, once: the relay's time against the direct GET's does not scale with it (the
  // pipe holds a relay back more than a socket does a GET).
  full.largeRounds = 1;
  full.slowHostRounds = 3;
  return full;
}

void runColdStart(const BenchConfig& config, const std::vector<Subject>& relays, Report& report) {
  // The floor program, started and stopped the same way, shows what creating and ending a process
  // costs on this machine before the relay does any work of its own.
  Standing standing(relays, report, "cold start");
  std::vector<std::vector<double>> starts(relays.size()), exits(relays.size());
  std::vector<double> floorStarts, floorExits;
  for (int i = 0; i < config.coldStarts; ++i) {
    for (std::size_t k = 0; k < relays.size(); ++k) {
      if (!standing.in(k))
        continue;
      settle(config);
      std::string error;
      auto spawned = Clock::now();
      auto child = startRelay(relays[k], report.tally(relays[k].name), error);
      auto answered = Clock::now();
      if (!child) {
        standing.drop(k, error);
        continue;
      }
      auto exit = finish(*child, error);
      auto reaped = Clock::now();
      if (!exit) {
        standing.drop(k, "exit after end of input: " + error);
        continue;
      }
      starts[k].push_back(millis(answered - spawned));
      exits[k].push_back(millis(reaped - answered));
    }

    settle(config);
    std::string error, line;
    auto spawned = Clock::now();
    auto floor = spawn(config.floorPath, relays.front().env, error);
    if (!floor || !floor->write(initializeLine(0)) || !readLine(*floor, line)) {
      report.fail("cold start floor", error.empty() ? "no answer" : error);
      return;
    }
    auto answered = Clock::now();
    floor->closeInput();
    floor->waitExit(kExitTimeout);
    floorStarts.push_back(millis(answered - spawned));
    floorExits.push_back(millis(Clock::now() - answered));
  }
  const double floorStart = summarize(floorStarts).p50;
  auto ours = summarize(starts.front());
  Row start = row("cold_start_ms", "cold start to initialize answer (median)",
                  standing.figures([&](std::size_t k) { return summarize(starts[k]).p50; }), "ms",
                  floorStart,
                  "max " + formatNumber(ours.max) + " ms over " + std::to_string(ours.count) +
                      "; floor: the stdio floor program started and answering one line");
  report.add(start);
  report.add(atMost(
      row("cold_start_ratio", "cold start / stdio floor (medians)",
          standing.figures([&](std::size_t k) { return summarize(starts[k]).p50 / floorStart; }),
          "×"),
      1.8, "≤ 1.8×"));
  auto exit = summarize(exits.front());
  report.add(atMost(row("exit_after_eof_ms", "exit after end of input (median)",
                        standing.figures([&](std::size_t k) { return summarize(exits[k]).p50; }),
                        "ms", summarize(floorExits).p50,
                        "max " + formatNumber(exit.max) + " ms over " + std::to_string(exit.count)),
                    2, "≤ 2 ms"));
}

void runPing(const BenchConfig& config, const std::vector<Subject>& relays, Report& report) {
  Standing standing(relays, report, "ping");
  std::vector<std::unique_ptr<ChildProcess>> servers(relays.size());
  for (std::size_t k = 0; k < relays.size(); ++k) {
    std::string error;
    servers[k] = startRelay(relays[k], report.tally(relays[k].name), error);
    if (!servers[k])
      standing.drop(k, error);
  }
  // Let start-up allocations settle before reading the resident set.
  std::this_thread::sleep_for(100ms);
  std::vector<std::optional<ProcStatus>> idle(relays.size());
  for (std::size_t k = 0; k < relays.size(); ++k)
    if (standing.in(k))
      idle[k] = readProcStatus(servers[k]->pid());
  std::string split;
  if (idle.front())
    split = "anonymous " + formatNumber(idle.front()->anonKiB / 1024.0) + " MiB, mapped files " +
            formatNumber(idle.front()->fileKiB / 1024.0) + " MiB";
  report.add(atMost(
      row("idle_rss_mib", "RSS after initialize (idle)", standing.figures([&](std::size_t k) {
        return idle[k] ? std::optional<double>(idle[k]->rssKiB / 1024.0) : std::nullopt;
      }),
          "MiB", std::nullopt, split),
      2.5, "≤ 2.5 MiB"));

  std::string error;
  auto floor = spawn(config.floorPath, relays.front().env, error);
  if (!floor) {
    report.fail("ping floor", error);
    return;
  }
  std::vector<std::int64_t> ids(relays.size(), 1);
  std::int64_t floorId = 1;
  std::vector<std::vector<double>> times(relays.size());
  std::vector<double> floorTimes;
  // `n` pings on each relay still in and on the floor, in turns; false when the floor failed.
  auto round = [&](int block, int n, bool sample) {
    for (std::size_t k : rotation(relays.size() + 1, block)) {
      settle(config);
      if (k == relays.size()) {
        if (!pingRoundTrips(*floor, n, floorId, nullptr, sample ? &floorTimes : nullptr, error)) {
          report.fail("ping floor", error);
          return false;
        }
      } else if (standing.in(k) &&
                 !pingRoundTrips(*servers[k], n, ids[k], &report.tally(relays[k].name),
                                 sample ? &times[k] : nullptr, error)) {
        standing.drop(k, error);
      }
    }
    return true;
  };
  if (!round(0, config.warmup, false))
    return;
  for (int done = 0, block = 0; done < config.pings; done += kBlock, ++block)
    if (!round(block, std::min(kBlock, config.pings - done), true))
      return;
  auto f = summarize(floorTimes);
  Row p50 = row("ping_p50_us", "ping round trip p50",
                standing.figures([&](std::size_t k) { return summarize(times[k]).p50; }), "µs",
                f.p50, "over " + std::to_string(times.front().size()) + " sequential pings");
  report.add(p50);
  report.add(row("ping_p99_us", "ping round trip p99",
                 standing.figures([&](std::size_t k) { return summarize(times[k]).p99; }), "µs",
                 f.p99));
  report.add(atMost(
      row("ping_p50_ratio", "ping p50 / stdio floor p50",
          standing.figures([&](std::size_t k) { return summarize(times[k]).p50 / f.p50; }), "×"),
      2, "≤ 2×"));

  std::vector<std::vector<double>> rates(relays.size());
  std::vector<double> floorRates;
  for (int r = 0; r < config.pipelinedRounds; ++r) {
    for (std::size_t k : rotation(relays.size() + 1, r)) {
      settle(config);
      if (k == relays.size()) {
        if (double rate = pipelinedRate(*floor, config.pipelined, floorId, nullptr, error);
            rate > 0)
          floorRates.push_back(rate);
        floorId += config.pipelined;
      } else if (standing.in(k)) {
        double rate = pipelinedRate(*servers[k], config.pipelined, ids[k],
                                    &report.tally(relays[k].name), error);
        ids[k] += config.pipelined;
        if (rate == 0)
          standing.drop(k, "pipelined: " + error);
        else
          rates[k].push_back(rate);
      }
    }
  }
  Row pipelined =
      atLeast(row("pipelined_pings_per_s", "pipelined pings",
                  standing.figures([&](std::size_t k) { return median(rates[k]); }), "/s",
                  median(floorRates),
                  std::to_string(config.pipelined) + " written without waiting, median of " +
                      std::to_string(config.pipelinedRounds) + "; floor: one write per reply"),
              330000, "≥ 330000 /s");
  report.add(pipelined);
  report.add(
      againstPeer(pipelined, kRust, "pipelined_vs_rust", "pipelined pings", Bound::AtLeast, 1.2));
  for (std::size_t k = 0; k < relays.size(); ++k)
    if (standing.in(k) && !finish(*servers[k], error))
      standing.drop(k, error);
}

void runGetAsset(const BenchConfig& config, const std::vector<Subject>& relays, Report& report) {
  Standing standing(relays, report, "get_asset");
  std::vector<std::unique_ptr<ChildProcess>> servers(relays.size());
  std::string error;
  for (std::size_t k = 0; k < relays.size(); ++k) {
    relays[k].bridge->setHold(0ms);
    relays[k].bridge->resetCounts();
    servers[k] = startRelay(relays[k], report.tally(relays[k].name), error);
    if (!servers[k])
      standing.drop(k, error);
  }
  // The direct GETs go to vantrel-mcp's Bridge; its connections are taken from the count below.
  DirectClient direct(relays.front().bridge->port(), relays.front().bridge->token());
  std::vector<std::int64_t> ids(relays.size(), 1);
  std::int64_t directId = 1;
  std::vector<std::vector<double>> times(relays.size());
  std::vector<double> directTimes;
  // `n` calls on each relay still in, then `n` direct GETs; false when a direct GET failed.
  auto round = [&](int block, int n, bool sample) {
    for (std::size_t k : rotation(relays.size() + 1, block)) {
      settle(config);
      for (int i = 0; i < n && k == relays.size(); ++i) {
        if (!directCall(direct, directId++, sample ? &directTimes : nullptr, error)) {
          report.fail("get_asset direct", error);
          return false;
        }
      }
      for (int i = 0; i < n && k < relays.size() && standing.in(k); ++i)
        if (!relayCall(*servers[k], ids[k]++, sample ? &times[k] : nullptr,
                       report.tally(relays[k].name), error))
          standing.drop(k, error);
    }
    return true;
  };
  if (!round(0, config.warmup, false))
    return;
  for (int done = 0, block = 0; done < config.assetCalls; done += kBlock, ++block)
    if (!round(block, std::min(kBlock, config.assetCalls - done), true))
      return;

  std::vector<BridgeCounts> counts(relays.size());
  std::vector<double> cpuPerCall(relays.size());
  for (std::size_t k = 0; k < relays.size(); ++k) {
    if (!standing.in(k))
      continue;
    // Each call's usage report is part of its cost: let the last ones land before the reap.
    const auto calls = static_cast<std::uint64_t>(ids[k] - 1);
    relays[k].bridge->waitTelemetry(calls, Clock::now() + 2s);
    counts[k] = relays[k].bridge->counts();
    auto exit = finish(*servers[k], error);
    if (!exit)
      standing.drop(k, error);
    else
      cpuPerCall[k] = cpuMillis(exit->usage) * 1e3 / static_cast<double>(calls);
  }

  auto d = summarize(directTimes);
  const std::string calls = std::to_string(times.front().size());
  Row p50 = row("get_asset_p50_us", "get_asset round trip p50",
                standing.figures([&](std::size_t k) { return summarize(times[k]).p50; }), "µs",
                d.p50, "floor: the same GET on one kept socket; " + calls + " calls each");
  report.add(p50);
  report.add(row("get_asset_p99_us", "get_asset round trip p99",
                 standing.figures([&](std::size_t k) { return summarize(times[k]).p99; }), "µs",
                 d.p99));
  report.add(atMost(
      row("get_asset_p50_ratio", "get_asset p50 / direct GET p50",
          standing.figures([&](std::size_t k) { return summarize(times[k]).p50 / d.p50; }), "×"),
      2.5, "≤ 2.5×"));
  report.add(atMost(
      row("get_asset_p99_ratio", "get_asset p99 / direct GET p99",
          standing.figures([&](std::size_t k) { return summarize(times[k]).p99 / d.p99; }), "×"),
      3, "≤ 3×"));
  report.add(
      againstPeer(p50, kRust, "get_asset_p50_vs_rust", "get_asset p50", Bound::AtMost, 0.85));
  Row cpu = atMost(
      row("server_cpu_us_per_call", "server CPU per get_asset (with usage report)",
          standing.figures([&](std::size_t k) { return cpuPerCall[k]; }), "µs", std::nullopt,
          "user+system over the relay's life / " + std::to_string(ids.front() - 1) +
              " calls; usage reports received: " +
              perRelayText(relays,
                           [&](std::size_t k) { return std::to_string(counts[k].telemetry); })),
      70, "≤ 70 µs");
  report.add(cpu);
  report.add(againstPeer(cpu, kRust, "server_cpu_vs_rust", "server CPU per get_asset",
                         Bound::AtMost, 0.7));
  report.add(
      atMost(row("bridge_connections", "Bridge connections opened by the relay",
                 standing.figures([&](std::size_t k) {
                   return static_cast<double>(counts[k].connections) -
                          (k == 0 ? static_cast<double>(direct.newConnections()) : 0.0);
                 }),
                 "", std::nullopt,
                 "for " + std::to_string(ids.front() - 1) + " GETs and their report POSTs each"),
             16, "≤ 16 (reused)"));
}

void addFramingRow(const std::vector<Subject>& relays, Report& report) {
  const Tally& ours = report.tally(kServer);
  std::string note = perRelayText(relays,
                                  [&](std::size_t k) {
                                    return std::to_string(report.tally(relays[k].name).checked);
                                  }) +
                     " reply lines checked";
  if (!ours.example.empty())
    note += "; first misframed: " + ours.example;
  Figures misframed;
  for (const auto& relay : relays)
    misframed[relay.name] = static_cast<double>(report.tally(relay.name).misframed);
  report.add(atMost(row("misframed_replies", "replies not one line with an id as sent", misframed,
                        "", std::nullopt, note),
                    0, "0"));
}

} // namespace vantrel::bench
