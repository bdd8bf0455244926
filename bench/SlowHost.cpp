// The phase where the host reads standard output slowly: a call written while a large answer is
// still on its way to the host must reach the Bridge at once.
#include "PacedReader.h"
#include "Phases.h"
#include "ServerProcess.h"
#include "Stats.h"
#include "Workload.h"

#include <algorithm>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kBigId = 1, kSecondId = 2;
const std::string kBigID = "slowhost";

// One round, by a fresh relay process.
struct SlowRun {
  double reachMs = 0;         // the second call written to the Bridge reading it
  double answerMs = 0;        // the second call written to its whole line read
  bool reachedDuring = false; // it reached the Bridge before the large line was all read
  bool answeredFirst = false; // its answer came before the large one
  double readMBps = 0;        // the pace the host kept, first byte to last
  int pipeBytes = 0;
};

// Starts `relay`, asks for the large card and reads the answer at the host's pace; once its first
// bytes are in, asks for a small card. Nothing, with `error`, unless both came back right and the
// Bridge saw the second call.
std::optional<SlowRun> slowRound(const BenchConfig& config, const Subject& relay,
                                 const std::string& body, Tally& tally, std::string& error) {
  BenchBridge& bridge = *relay.bridge;
  bridge.setHold(0ms);
  auto server = startRelay(relay, tally, error);
  if (!server)
    return std::nullopt;
  auto reader = PacedReader::open(server->pid(), {.bytesPerSecond = config.slowHostRate}, error);
  if (!reader)
    return std::nullopt;
  SlowRun run;
  run.pipeBytes = reader->pipeBytes();
  const std::string second = shortIdFor(kSecondId);
  bridge.watchArrival(second);
  if (!server->write(getAssetLine(kBigId, kBigID))) {
    error = "the relay stopped reading requests";
    return std::nullopt;
  }
  std::string out;
  out.reserve(body.size() + body.size() / 8 + 4096); // room for the escapes and the envelope
  const auto deadline = Clock::now() + 60s;
  if (reader->read(out, deadline) == 0) {
    error = "no byte of the large answer came";
    return std::nullopt;
  }
  const auto firstAt = Clock::now();
  TimedLines lines;
  lines.scan(out, 0, firstAt);
  const auto secondSent = Clock::now();
  if (!server->write(getAssetLine(kSecondId, second))) {
    error = "the relay stopped reading requests while it answered";
    return std::nullopt;
  }
  auto lastAt = firstAt;
  while (lines.count() < 2) {
    const std::size_t from = out.size();
    if (reader->read(out, deadline) == 0)
      break;
    lastAt = Clock::now();
    lines.scan(out, from, lastAt);
  }
  const auto arrived = bridge.waitArrival(Clock::now() + kReplyTimeout);
  reader.reset(); // before the exit, which reads the driver's end of the same pipe

  const std::string smallBody = BenchBridge::assetBody(second);
  const std::vector<Expected> calls = {{kSecondId, smallBody}, {kBigId, body}};
  std::optional<Clock::time_point> bigEnd, smallEnd;
  for (std::size_t i = 0; i < lines.count() && i < 2; ++i) {
    const auto [line, at] = lines.line(out, i);
    auto which = matchAnswer(line, calls, tally, error);
    if (!which)
      return std::nullopt;
    (*which == 0 ? smallEnd : bigEnd) = at;
    run.answeredFirst = run.answeredFirst || (*which == 0 && i == 0);
  }
  if (!bigEnd || !smallEnd) {
    error = std::to_string(lines.count()) + " of 2 answers arrived in time";
    return std::nullopt;
  }
  if (!arrived) {
    error = "the second call never reached the Bridge";
    return std::nullopt;
  }
  if (!finish(*server, error))
    return std::nullopt;
  run.reachMs = millis(*arrived - secondSent);
  run.answerMs = millis(*smallEnd - secondSent);
  run.reachedDuring = *arrived < *bigEnd;
  const double readS = std::chrono::duration<double>(lastAt - firstAt).count();
  run.readMBps = readS > 0 ? static_cast<double>(out.size()) / readS / 1e6 : 0;
  return run;
}

} // namespace

void runSlowHost(const BenchConfig& config, const std::vector<Subject>& relays, Report& report) {
  const std::string body = BenchBridge::largeAssetBody(kBigID, config.slowHostBytes);
  for (const auto& relay : relays)
    relay.bridge->serveLarge(kBigID, body);

  Standing standing(relays, report, "slow host");
  std::vector<std::vector<SlowRun>> runs(relays.size());
  for (int round = 0; round < config.slowHostRounds; ++round) {
    for (std::size_t k : rotation(relays.size(), round)) {
      if (!standing.in(k))
        continue;
      settle(config);
      std::string error;
      if (auto run = slowRound(config, relays[k], body, report.tally(relays[k].name), error))
        runs[k].push_back(*run);
      else
        standing.drop(k, error);
    }
  }

  auto each = [&](std::size_t k, auto of) {
    std::vector<double> values;
    for (const auto& run : runs[k])
      values.push_back(of(run));
    return values;
  };
  auto count = [&](auto of) {
    return std::to_string(std::count_if(runs.front().begin(), runs.front().end(), of)) + " of " +
           std::to_string(runs.front().size());
  };
  auto reachOf = [](const SlowRun& run) { return run.reachMs; };
  auto answerOf = [](const SlowRun& run) { return run.answerMs; };
  const std::vector<double> oursReach = each(0, reachOf);
  const std::vector<double> oursPace = each(0, [](const SlowRun& run) { return run.readMBps; });
  const std::string size = formatNumber(static_cast<double>(config.slowHostBytes) / (1 << 20));
  const std::string rate = formatNumber(config.slowHostRate / 1e6);
  const std::string rounds = std::to_string(config.slowHostRounds);
  const PacedReader::Pace pace{};
  Row reach = atMost(
      row("slow_host_call_ms",
          "tools/call reaching the Bridge while " + size + " MiB go to a " + rate + " MB/s host",
          standing.figures([&](std::size_t k) { return median(each(k, reachOf)); }), "ms",
          std::nullopt,
          "median of " + rounds + " rounds, worst " +
              formatNumber(
                  oursReach.empty() ? 0 : *std::max_element(oursReach.begin(), oursReach.end())) +
              " ms; written once the first bytes of the large answer were read, and read by the "
              "Bridge before that answer was all read in " +
              count([](const SlowRun& run) { return run.reachedDuring; }) + "; the host read " +
              std::to_string(pace.chunk / 1024) + " KiB at a time from a " +
              std::to_string(runs.front().empty() ? 0 : runs.front().front().pipeBytes / 1024) +
              " KiB pipe, " + formatNumber(median(oursPace).value_or(0)) + " MB/s kept"),
      10, "≤ 10 ms");
  if (!reach.value)
    reach.met = false;
  report.add(reach);
  report.add(row("slow_host_answer_ms", "its answer, with the " + size + " MiB line on stdout",
                 standing.figures([&](std::size_t k) { return median(each(k, answerOf)); }), "ms",
                 std::nullopt,
                 "the second call written to its line read, median of " + rounds +
                     "; it may wait behind the large line; it came first in " +
                     count([](const SlowRun& run) { return run.answeredFirst; })));
}

} // namespace vantrel::bench
