#pragma once

#include "HostSim.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <vector>

namespace vantrel::hostsim {

// A HostSim in a fresh temporary support folder with a client that carries its token: for
// tests and tools that need a live Bridge in-process. Everything it made is removed on exit.
class HostSimHarness {
public:
  struct Answer {
    int status = 0; // 0: no HTTP answer
    nlohmann::json body;
  };

  explicit HostSimHarness(std::optional<std::filesystem::path> dataDir = std::nullopt)
      : supportDir_(makeTemporaryFolder()) {
    auto started = HostSim::start({supportDir_, std::move(dataDir), 0});
    if (auto* error = std::get_if<std::string>(&started))
      throw std::runtime_error(*error);
    sim_ = std::move(std::get<std::unique_ptr<HostSim>>(started));
    client_ = makeClient(sim_->token());
  }

  ~HostSimHarness() {
    client_.reset();
    sim_.reset();
    std::error_code ec;
    std::filesystem::remove_all(supportDir_, ec);
  }

  HostSim& sim() { return *sim_; }
  const std::filesystem::path& supportDir() const { return supportDir_; }

  // A client with the given Authorization header value, or with none when it is empty.
  std::unique_ptr<httplib::Client> makeClient(const std::string& token) const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", sim_->port());
    if (!token.empty())
      client->set_default_headers({{"Authorization", "Bearer " + token}});
    return client;
  }

  Answer get(const std::string& path, const httplib::Params& params = {}) {
    return answer(client_->Get(path, params, httplib::Headers{}));
  }
  Answer post(const std::string& path, const nlohmann::json& body) {
    return answer(client_->Post(path, body.dump(), "application/json"));
  }

  static Answer answer(const httplib::Result& result) {
    if (!result)
      return {};
    return {result->status, nlohmann::json::parse(result->body, nullptr, false)};
  }

  static std::filesystem::path makeTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostsim-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data()))
      throw std::runtime_error("mkdtemp failed");
    return name.data();
  }

private:
  std::filesystem::path supportDir_;
  std::unique_ptr<HostSim> sim_;
  std::unique_ptr<httplib::Client> client_;
};

} // namespace vantrel::hostsim
