#include "ServerProcess.h"

#include "Workload.h"

#include <csignal>

namespace vantrel::bench {

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double cpuMillis(const rusage& usage) {
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

long maxRssKiB(const rusage& usage) {
#ifdef __APPLE__
  return usage.ru_maxrss / 1024; // bytes there
#else
  return usage.ru_maxrss;
#endif
}

std::string shorten(std::string_view line) {
  return line.size() > 200 ? std::string(line.substr(0, 200)) + "…" : std::string(line);
}

std::unique_ptr<ChildProcess>
spawn(const std::string& path, const std::map<std::string, std::string>& env, std::string& error) {
  return driver::startChild(
      {path}, {.env = env, .inheritEnv = false, .err = ChildProcess::Stdio::Inherit}, error);
}

bool readLine(ChildProcess& child, std::string& line) {
  auto read = child.readLine(ChildProcess::Stream::Stdout, kReplyTimeout);
  line = read.text.value_or("");
  return read.text.has_value();
}

std::unique_ptr<ChildProcess> startRelay(const Subject& relay, Tally& tally, std::string& error) {
  auto child = spawn(relay.path, relay.env, error);
  if (!child)
    return nullptr;
  std::string line;
  if (!child->write(initializeLine(0)) || !readLine(*child, line) || !isInitializeReply(line, 0)) {
    if (!line.empty())
      tallyWrongReply(tally, line, 0);
    error = "no initialize answer" + (line.empty() ? std::string() : ": " + shorten(line));
    return nullptr;
  }
  tally.count(1, 0);
  return child;
}

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

void Standing::drop(std::size_t k, std::string why) {
  if (!in_[k])
    return;
  in_[k] = false;
  report_.fail(phase_, std::move(why), relays_[k].name);
}

void tallyWrongReply(Tally& tally, std::string_view line, std::int64_t id) {
  auto got = replyId(line);
  const bool framed = got && *got == id;
  tally.count(1, framed ? 0 : 1, shorten(line));
}

void TimedLines::scan(std::string_view out, std::size_t from, Clock::time_point at) {
  for (auto end = out.find('\n', from); end != std::string_view::npos;
       end = out.find('\n', end + 1))
    ends_.emplace_back(end, at);
}

std::pair<std::string_view, Clock::time_point> TimedLines::line(std::string_view out,
                                                                std::size_t i) const {
  const std::size_t from = i == 0 ? 0 : ends_[i - 1].first + 1;
  return {out.substr(from, ends_[i].first - from), ends_[i].second};
}

std::optional<std::size_t> matchAnswer(std::string_view line, const std::vector<Expected>& expected,
                                       Tally& tally, std::string& error) {
  auto tool = parseToolReply(line);
  for (std::size_t i = 0; tool && i < expected.size(); ++i) {
    if (tool->id == expected[i].id && tool->text == expected[i].text) {
      tally.count(1, 0);
      return i;
    }
  }
  auto id = replyId(line);
  for (const auto& call : expected) {
    if (id && *id == call.id) {
      tally.count(1, 0);
      error = "reply " + std::to_string(*id) + " is not the card asked for (" +
              std::to_string(line.size()) + " bytes): " + shorten(line);
      return std::nullopt;
    }
  }
  tally.count(1, 1, shorten(line));
  error = "a line that answers none of the calls: " + shorten(line);
  return std::nullopt;
}

} // namespace vantrel::bench
