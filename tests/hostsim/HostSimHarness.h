#pragma once

#include "driver/TempDir.h"
#include "hostsim/HostSim.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace vantrel::hostsim {

// A HostSim in a fresh temporary support folder with a client that carries its token: for
// tests that need a live Bridge in-process. Everything it made is removed on exit.
class HostSimHarness {
public:
  struct Answer {
    int status = 0; // 0: no HTTP answer
    nlohmann::json body;
  };

  explicit HostSimHarness(std::optional<std::filesystem::path> dataDir = std::nullopt)
      : supportDir_("hostsim-test") {
    auto started = HostSim::start({supportDir_.path(), std::move(dataDir), 0});
    if (auto* error = std::get_if<std::string>(&started))
      throw std::runtime_error(*error);
    sim_ = std::move(std::get<std::unique_ptr<HostSim>>(started));
    client_ = makeClient(sim_->token());
  }

  HostSim& sim() { return *sim_; }
  const std::filesystem::path& supportDir() const { return supportDir_.path(); }

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

private:
  driver::TempDir supportDir_; // first in, last out: the sim and client go before it
  std::unique_ptr<HostSim> sim_;
  std::unique_ptr<httplib::Client> client_;
};

} // namespace vantrel::hostsim
