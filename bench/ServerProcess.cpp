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

std::string shorten(std::string_view line) {
  return line.size() > 200 ? std::string(line.substr(0, 200)) + "…" : std::string(line);
}

std::unique_ptr<ChildProcess> spawn(const std::string& path, const BenchConfig& config,
                                    std::string& error) {
  return testing::startChild(
      {path}, {.env = config.childEnv, .inheritEnv = false, .err = ChildProcess::Stdio::Inherit},
      error);
}

bool readLine(ChildProcess& child, std::string& line) {
  auto read = child.readLine(ChildProcess::Stream::Stdout, kReplyTimeout);
  line = read.text.value_or("");
  return read.text.has_value();
}

std::unique_ptr<ChildProcess> startServer(const BenchConfig& config, Report& report,
                                          std::string& error) {
  auto child = spawn(config.mcpPath, config, error);
  if (!child)
    return nullptr;
  std::string line;
  if (!child->write(initializeLine(0)) || !readLine(*child, line) || !isInitializeReply(line, 0)) {
    if (!line.empty())
      tallyWrongReply(report, line, 0);
    error = "no initialize answer" + (line.empty() ? std::string() : ": " + shorten(line));
    return nullptr;
  }
  report.countReplies(1, 0);
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

void tallyWrongReply(Report& report, std::string_view line, std::int64_t id) {
  auto got = replyId(line);
  const bool framed = got && *got == id;
  report.countReplies(1, framed ? 0 : 1, shorten(line));
}

} // namespace vantrel::bench
