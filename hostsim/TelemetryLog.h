#pragma once

#include <nlohmann/json.hpp>

#include <deque>
#include <mutex>

namespace vantrel::hostsim {

// The usage reports the server posts after each tool call, newest last; old ones fall out.
class TelemetryLog {
public:
  static constexpr std::size_t kCapacity = 500;

  void add(nlohmann::json report) {
    std::lock_guard lock(lock_);
    reports_.push_back(std::move(report));
    if (reports_.size() > kCapacity)
      reports_.pop_front();
  }

  nlohmann::json all() const {
    std::lock_guard lock(lock_);
    return nlohmann::json(reports_);
  }

private:
  mutable std::mutex lock_; // guards reports_
  std::deque<nlohmann::json> reports_;
};

} // namespace vantrel::hostsim
