#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace vantrel::testing {

// Sets environment variables in this process (nothing: unsets one) and puts back what they were
// when it goes out of scope, including any change made to them meanwhile. Use it before starting
// any thread that reads the environment.
class ScopedEnv {
public:
  using Vars = std::map<std::string, std::optional<std::string>>;

  ScopedEnv() = default;
  explicit ScopedEnv(const Vars& vars) { set(vars); }
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_)
      apply(name, value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void set(const Vars& vars) {
    for (const auto& [name, value] : vars) {
      const char* old = std::getenv(name.c_str());
      saved_.try_emplace(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
      apply(name, value);
    }
  }

private:
  static void apply(const std::string& name, const std::optional<std::string>& value) {
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }

  Vars saved_; // the values before the first change, by name
};

} // namespace vantrel::testing
