#include "Phases.h"

#include "DirectClient.h"
#include "ProcStats.h"
#include "Stats.h"
#include "Workload.h"
#include "support/ChildProcess.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using Stream = ChildProcess::Stream;
using namespace std::chrono_literals;

constexpr auto kReplyTimeout = 10s;
constexpr auto kExitTimeout = 10s;
constexpr int kBlock = 500; // alternate server and floor in blocks, so drift hits both alike

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::string shorten(const std::string& line) {
  return line.size() > 200 ? line.substr(0, 200) + "…" : line;
}

// `path` with the configured environment, stdin and stdout on pipes and stderr shared with us;
// nullptr and `error` when it cannot be started.
std::unique_ptr<ChildProcess> spawn(const std::string& path, const BenchConfig& config,
                                    std::string& error) {
  try {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{path}, ChildProcess::Options{.env = config.childEnv,
                                                              .inheritEnv = false,
                                                              .err = ChildProcess::Stdio::Inherit});
  } catch (const std::runtime_error& failure) {
    error = failure.what();
    return nullptr;
  }
}

bool readLine(ChildProcess& child, std::string& line) {
  auto read = child.readLine(Stream::Stdout, kReplyTimeout);
  line = read.text.value_or("");
  return read.text.has_value();
}

std::unique_ptr<ChildProcess> startServer(const BenchConfig& config, std::string& error) {
  auto child = spawn(config.mcpPath, config, error);
  if (!child)
    return nullptr;
  std::string line;
  if (!child->write(initializeLine(0)) || !readLine(*child, line) || !isInitializeReply(line, 0)) {
    error = "no initialize answer" + (line.empty() ? std::string() : ": " + shorten(line));
    return nullptr;
  }
  return child;
}

// Closes the child's input and waits for it to exit; nothing (and `error`) unless it exited
// with 0 in time. One that does not exit is killed.
std::optional<ChildProcess::Exit> finish(ChildProcess& child, std::string& error) {
  child.closeInput();
  auto exit = child.waitExit(kExitTimeout);
  if (!exit) {
    error = "did not exit after end of input; killed";
    child.sendSignal(SIGKILL);
    child.waitExit(kExitTimeout);
  } else if (exit->status() != 0) {
    error = "exit status " + std::to_string(exit->status());
  } else {
    return exit;
  }
  return std::nullopt;
}

// Sequential pings; `check` is off for the floor, whose answer is one fixed line.
bool pingRoundTrips(ChildProcess& child, int count, std::int64_t& nextId, bool check,
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
    if (check && !isPingReply(line, id)) {
      error = "wrong answer to ping " + std::to_string(id) + ": " + shorten(line);
      return false;
    }
  }
  return true;
}

// Writes `count` pings without waiting while this thread counts the replies; pings per second,
// or 0 with `error`. With `check`, replies must come in request order (they are answered on the
// reading thread) and each must be right.
double pipelinedRate(ChildProcess& child, int count, std::int64_t firstId, bool check,
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
  if (check) {
    std::size_t from = 0;
    for (int i = 0; i < count; ++i) {
      std::size_t to = received.find('\n', from);
      std::string_view line(received.data() + from, to - from);
      if (!isPingReply(line, firstId + i)) {
        error = "pipelined reply " + std::to_string(i) + " is wrong: " + std::string(line);
        return 0;
      }
      from = to + 1;
    }
  }
  return count / std::chrono::duration<double>(end - start).count();
}

bool relayCall(ChildProcess& child, std::int64_t id, std::vector<double>* samples,
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
    error = "wrong answer to get_asset " + std::to_string(id) + ": " + shorten(line);
    return false;
  }
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
  full.hold = 300ms;
  return full;
}

void runColdStart(const BenchConfig& config, Report& report) {
  // The floor program, started and stopped the same way, shows what creating and ending a process
  // costs on this machine before the server does any work of its own.
  std::vector<double> starts, exits, floorStarts, floorExits;
  for (int i = 0; i < config.coldStarts; ++i) {
    std::string error;
    auto spawned = Clock::now();
    auto child = startServer(config, error);
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
  auto exit = summarize(exits);
  report.add(
      atMost(row("cold_start_ms", "cold start to initialize answer (median)", start.p50, "ms",
                 summarize(floorStarts).p50,
                 "max " + formatNumber(start.max) + " ms over " + std::to_string(start.count) +
                     "; floor: the stdio floor program started and answering one line"),
             5, "≤ 5 ms"));
  report.add(atMost(row("exit_after_eof_ms", "exit after end of input (median)", exit.p50, "ms",
                        summarize(floorExits).p50,
                        "max " + formatNumber(exit.max) + " ms over " + std::to_string(exit.count)),
                    2, "≤ 2 ms"));
}

void runPing(const BenchConfig& config, Report& report) {
  std::string error;
  auto server = startServer(config, error);
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
  report.add(atMost(row("idle_rss_mib", "idle RSS after initialize",
                        idle ? std::optional<double>(idle->rssKiB / 1024.0) : std::nullopt, "MiB",
                        std::nullopt, split),
                    6, "≤ 6 MiB"));

  auto floor = spawn(config.floorPath, config, error);
  if (!floor) {
    report.fail("ping floor", error);
    return;
  }
  std::int64_t serverId = 1, floorId = 1;
  std::vector<double> serverTimes, floorTimes;
  if (!pingRoundTrips(*server, config.warmup, serverId, true, nullptr, error) ||
      !pingRoundTrips(*floor, config.warmup, floorId, false, nullptr, error)) {
    report.fail("ping", error);
    return;
  }
  for (int done = 0; done < config.pings; done += kBlock) {
    int n = std::min(kBlock, config.pings - done);
    if (!pingRoundTrips(*server, n, serverId, true, &serverTimes, error) ||
        !pingRoundTrips(*floor, n, floorId, false, &floorTimes, error)) {
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

  double rate = pipelinedRate(*server, config.pipelined, serverId, true, error);
  if (rate == 0) {
    report.fail("pipelined ping", error);
    return;
  }
  double floorRate = pipelinedRate(*floor, config.pipelined, floorId, false, error);
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
  auto server = startServer(config, error);
  if (!server) {
    report.fail("get_asset", error);
    return;
  }
  DirectClient direct(bridge.port(), bridge.token());
  std::int64_t relayId = 1, directId = 1;
  std::vector<double> relayTimes, directTimes;
  for (int i = 0; i < config.warmup; ++i) {
    if (!relayCall(*server, relayId++, nullptr, error) ||
        !directCall(direct, directId++, nullptr, error)) {
      report.fail("get_asset", error);
      return;
    }
  }
  for (int done = 0; done < config.assetCalls; done += kBlock) {
    int n = std::min(kBlock, config.assetCalls - done);
    for (int i = 0; i < n; ++i) {
      if (!relayCall(*server, relayId++, &relayTimes, error)) {
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
  for (auto deadline = Clock::now() + 2s;
       bridge.counts().telemetry < relayCalls && Clock::now() < deadline;)
    std::this_thread::sleep_for(1ms);
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
  report.add(atMost(row("get_asset_p99_us", "get_asset round trip p99", r.p99, "µs", d.p99), 500,
                    "≤ 500 µs"));
  report.add(atMost(
      row("get_asset_p50_ratio", "get_asset p50 / direct GET p50", r.p50 / d.p50, "×"), 2, "≤ 2×"));
  auto cpu = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  double cpuPerCall =
      (cpu(exit->usage.ru_utime) + cpu(exit->usage.ru_stime)) / static_cast<double>(relayCalls);
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

void runHeld(const BenchConfig& config, BenchBridge& bridge, Report& report) {
  std::string error;
  bridge.setHold(0ms);
  auto server = startServer(config, error);
  if (!server) {
    report.fail("held calls", error);
    return;
  }
  bridge.setHold(config.hold);

  // Sampled from its own thread so that no reading of ours waits on it.
  std::atomic<bool> sampling{true};
  std::atomic<long> peakRss{0}, peakThreads{0}, peakFds{0};
  std::atomic<bool> sampled{false};
  const pid_t pid = server->pid();
  std::thread sampler([&] {
    auto deadline = Clock::now() + config.hold + 60s;
    for (int round = 0; sampling && Clock::now() < deadline; ++round) {
      if (auto status = readProcStatus(pid)) {
        sampled = true;
        peakRss = std::max(peakRss.load(), status->rssKiB);
        peakThreads = std::max(peakThreads.load(), status->threads);
      }
      if (round % 16 == 0) // a directory walk over thousands of sockets costs more
        if (auto fds = countOpenFds(pid))
          peakFds = std::max(peakFds.load(), *fds);
      std::this_thread::sleep_for(2ms);
    }
  });
  auto stopSampler = [&] {
    sampling = false;
    sampler.join();
  };

  const int n = config.heldCalls;
  constexpr std::int64_t kFirstId = 1000, kPingId = 1;
  std::string burst;
  for (int i = 0; i < n; ++i)
    burst += getAssetLine(kFirstId + i, shortIdFor(kFirstId + i));
  std::vector<bool> answered(static_cast<std::size_t>(n), false);
  int correct = 0, wrong = 0;
  std::optional<double> pingMs;
  Clock::time_point last{};

  bridge.resetCounts();
  auto start = Clock::now();
  if (!server->write(burst, 30s)) {
    stopSampler();
    report.fail("held calls", "the server stopped reading requests");
    return;
  }
  auto take = [&](const std::string& reply, Clock::time_point at, Clock::time_point pingSent) {
    if (isPingReply(reply, kPingId)) {
      pingMs = millis(at - pingSent);
      return;
    }
    auto tool = parseToolReply(reply);
    if (tool && tool->id.is_number_integer()) {
      auto index = tool->id.get<std::int64_t>() - kFirstId;
      if (index >= 0 && index < n && !answered[static_cast<std::size_t>(index)] &&
          tool->text == BenchBridge::assetBody(shortIdFor(kFirstId + index))) {
        answered[static_cast<std::size_t>(index)] = true;
        ++correct;
        last = at;
        return;
      }
    }
    ++wrong;
  };
  auto middle = start + config.hold / 2;
  for (ChildProcess::Line read;
       Clock::now() < middle && (read = server->readLine(Stream::Stdout, middle)).text;)
    take(*read.text, Clock::now(), start); // nothing is expected before the hold ends
  auto pingSent = Clock::now();
  bool pingWritten = server->write(pingLine(kPingId));
  auto deadline = start + config.hold + 30s;
  while ((correct + wrong < n || (pingWritten && !pingMs)) && Clock::now() < deadline) {
    auto read = server->readLine(Stream::Stdout, deadline);
    if (!read.text)
      break;
    take(*read.text, Clock::now(), pingSent);
  }
  auto status = readProcStatus(pid);
  stopSampler();
  BridgeCounts counts = bridge.counts();
  bridge.setHold(0ms);
  if (!finish(*server, error))
    report.fail("held calls", error);

  double holdS = std::chrono::duration<double>(config.hold).count();
  Row wall = atMost(
      row("held_wall_s", "held get_asset x" + std::to_string(n) + ": wall to last answer",
          correct > 0 ? std::optional<double>(std::chrono::duration<double>(last - start).count())
                      : std::nullopt,
          "s", holdS,
          std::to_string(correct) + " of " + std::to_string(n) + " answers right, " +
              std::to_string(wrong) + " wrong; the Bridge held each for the floor time; requests " +
              "reached it from " + formatNumber(millis(counts.firstAsset)) + " ms to " +
              formatNumber(millis(counts.lastAsset)) + " ms; peak " +
              std::to_string(counts.peakOpen) + " Bridge connections open"),
      1.15 * holdS, "≤ 1.15 × hold");
  if (correct != n)
    wall.met = false; // fast but wrong is not met
  report.add(wall);
  Row ping = atMost(row("held_ping_ms", "ping among held calls", pingMs, "ms", std::nullopt,
                        pingMs ? "sent half-way through the hold" : "never answered"),
                    20, "≤ 20 ms");
  if (!pingMs)
    ping.met = false;
  report.add(ping);
  std::optional<double> rssMiB, threads, fds;
  if (sampled) {
    long peak = std::max(peakRss.load(), status ? status->peakKiB : 0L);
    rssMiB = peak / 1024.0;
    threads = static_cast<double>(peakThreads.load());
    if (peakFds > 0)
      fds = static_cast<double>(peakFds.load());
  }
  report.add(atMost(row("held_peak_rss_mib", "peak server RSS during held calls", rssMiB, "MiB",
                        std::nullopt, "VmHWM, and VmRSS sampled every 2 ms"),
                    40, "≤ 40 MiB"));
  report.add(atMost(row("held_peak_threads", "peak server threads during held calls", threads, ""),
                    n + 16, "≤ " + std::to_string(n + 16)));
  report.add(row("held_peak_fds", "peak server open descriptors", fds, "", std::nullopt,
                 "sampled every ~32 ms"));
}

} // namespace vantrel::bench
