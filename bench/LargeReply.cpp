// The phase that relays one very large reply, beside a direct GET of the same body.
#include "DirectClient.h"
#include "Phases.h"
#include "ProcStats.h"
#include "ServerProcess.h"
#include "Stats.h"
#include "Workload.h"

#include <algorithm>
#include <csignal>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kLargeId = 1, kSmallId = 2;
const std::string kLargeID = "large";

// One relay of the large reply by a fresh relay process.
struct LargeRun {
  double largeMs = 0;      // the large request written to its whole line read
  double smallMs = 0;      // the small request written to its line read
  bool smallFirst = false; // the small answer came before the large one
  long peakKiB = 0;
};

// Starts `relay`, asks for the large card, and once its Bridge begins sending it, for a small
// one; reads and checks both answers. Nothing, with `error`, unless both came back right.
std::optional<LargeRun> relayLarge(const Subject& relay, const std::string& body, Tally& tally,
                                   std::string& error) {
  relay.bridge->setHold(0ms);
  auto server = startRelay(relay, tally, error);
  if (!server)
    return std::nullopt;
  const std::uint64_t startsBefore = relay.bridge->largeStarts();
  const auto largeSent = Clock::now();
  if (!server->write(getAssetLine(kLargeId, kLargeID)) ||
      !relay.bridge->waitLargeStarts(startsBefore + 1, Clock::now() + kReplyTimeout)) {
    error = "the large reply never started";
    return std::nullopt;
  }
  const auto smallSent = Clock::now();
  if (!server->write(getAssetLine(kSmallId, shortIdFor(kSmallId)))) {
    error = "the relay stopped reading requests";
    return std::nullopt;
  }
  // Read in bulk into a buffer sized once, as the direct client receives the body, so that
  // neither side's time is this process regrowing a large buffer. Lines are only timed here and
  // checked once both are in: parsing the large one takes a while.
  std::string out;
  out.reserve(body.size() + body.size() / 8 + 4096); // room for the escapes and the envelope
  TimedLines lines;
  const auto deadline = smallSent + 60s;
  while (lines.count() < 2) {
    auto more = server->readSome(ChildProcess::Stream::Stdout, deadline);
    const auto at = Clock::now();
    if (!more)
      break;
    const std::size_t from = out.size();
    out += *more;
    lines.scan(out, from, at);
  }
  // The kernel's high-water mark, read before the relay exits: exact however fast the relay.
  auto status = readProcStatus(server->pid());

  LargeRun run;
  bool small = false, large = false;
  const std::string smallBody = BenchBridge::assetBody(shortIdFor(kSmallId));
  const std::vector<Expected> calls = {{kSmallId, smallBody}, {kLargeId, body}};
  for (std::size_t i = 0; i < lines.count() && i < 2; ++i) {
    const auto [line, at] = lines.line(out, i);
    auto which = matchAnswer(line, calls, tally, error);
    if (!which)
      return std::nullopt;
    if (*which == 0) {
      small = true;
      run.smallMs = millis(at - smallSent);
      run.smallFirst = i == 0;
    } else {
      large = true;
      run.largeMs = millis(at - largeSent);
    }
  }
  if (!small || !large) {
    error = std::to_string(lines.count()) + " of 2 answers arrived in time";
    server->sendSignal(SIGKILL);
    return std::nullopt;
  }
  auto exit = finish(*server, error);
  if (!exit)
    return std::nullopt;
  run.peakKiB = status ? status->peakKiB : maxRssKiB(exit->usage);
  return run;
}

} // namespace

double largePeakLimitMiB(std::size_t replyBytes) {
  return 1.3 * static_cast<double>(replyBytes) / (1 << 20) + 16;
}

void runLargeReply(const BenchConfig& config, const std::vector<Subject>& relays, Report& report) {
  const std::string size = formatNumber(static_cast<double>(config.largeBytes) / (1 << 20));
  const std::string body = BenchBridge::largeAssetBody(kLargeID, config.largeBytes);
  for (const auto& relay : relays)
    relay.bridge->serveLarge(kLargeID, body);

  Standing standing(relays, report, "large reply");
  std::vector<std::vector<LargeRun>> runs(relays.size());
  std::vector<double> directMs;
  for (int round = 0; round < config.largeRounds; ++round) {
    // A fresh connection, as each relay below is a fresh process.
    DirectClient direct(relays.front().bridge->port(), relays.front().bridge->token());
    const auto sent = Clock::now();
    auto got = direct.get("/assets/" + kLargeID);
    const auto done = Clock::now();
    if (!got || *got != body) {
      report.fail("large reply direct", "the direct GET did not return the body whole");
      return;
    }
    directMs.push_back(millis(done - sent));
    for (std::size_t k = 0; k < relays.size(); ++k) {
      if (!standing.in(k))
        continue;
      std::string error;
      if (auto run = relayLarge(relays[k], body, report.tally(relays[k].name), error))
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
  auto smallOf = [](const LargeRun& run) { return run.smallMs; };
  auto largeOf = [](const LargeRun& run) { return run.largeMs; };
  const std::vector<double> oursSmall = each(0, smallOf);
  const auto firsts = std::count_if(runs.front().begin(), runs.front().end(),
                                    [](const LargeRun& run) { return run.smallFirst; });
  const std::string rounds = std::to_string(config.largeRounds);
  Row small = atMost(
      row("large_small_ms", "get_asset answered while relaying " + size + " MiB",
          standing.figures([&](std::size_t k) { return median(each(k, smallOf)); }), "ms",
          std::nullopt,
          "sent once the Bridge began sending the large reply; median of " + rounds +
              " rounds, worst " +
              formatNumber(
                  oursSmall.empty() ? 0 : *std::max_element(oursSmall.begin(), oursSmall.end())) +
              " ms; answered before the large one in " + std::to_string(firsts) + " of " +
              std::to_string(oursSmall.size())),
      50, "≤ 50 ms");
  if (!small.value)
    small.met = false;
  report.add(small);

  const std::optional<double> direct = median(directMs);
  report.add(row("large_reply_ms", size + " MiB get_asset round trip (median)",
                 standing.figures([&](std::size_t k) { return median(each(k, largeOf)); }), "ms",
                 direct,
                 "request written to the whole line read, a fresh relay each of " + rounds +
                     " rounds; floor: a direct GET of the same body in each round"));
  report.add(atMost(row("large_reply_ratio", size + " MiB relay / direct GET (medians)",
                        standing.figures([&](std::size_t k) -> std::optional<double> {
                          auto relayed = median(each(k, largeOf));
                          if (!relayed || !direct)
                            return std::nullopt;
                          return *relayed / *direct;
                        }),
                        "×"),
                    3, "≤ 3×"));
  const double limit = largePeakLimitMiB(config.largeBytes);
  report.add(atMost(row("large_peak_rss_mib", "peak server RSS relaying " + size + " MiB",
                        standing.figures([&](std::size_t k) -> std::optional<double> {
                          if (runs[k].empty())
                            return std::nullopt;
                          long peak = 0;
                          for (const auto& run : runs[k])
                            peak = std::max(peak, run.peakKiB);
                          return peak / 1024.0;
                        }),
                        "MiB", std::nullopt,
                        "VmHWM read before the relay exits, highest of " + rounds + " rounds"),
                    limit, "≤ " + formatNumber(limit) + " MiB (1.3 × reply + 16)"));
}

} // namespace vantrel::bench
