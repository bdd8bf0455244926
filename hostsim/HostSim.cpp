#include "HostSim.h"

#include "Embedded.h"
#include "Files.h"
#include "Media.h"
#include "Routes.h"
#include "ServingPool.h"
#include "TokenFiles.h"
#include "bridge/StorePaths.h"
#include "common/Json.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace vantrel::hostsim {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// A burst of tool calls through the server opens a connection for each call in flight, and
// cpp-httplib keeps a thread on each until it closes or has been idle kKeepAliveSeconds: so
// threads are added for a burst, idle connections are let go soon, and the backlog holds a
// thousand connections not yet accepted.
constexpr std::size_t kKeptThreads = 16;
constexpr std::size_t kMostThreads = 512;
constexpr std::chrono::seconds kThreadIdleLife{10};
constexpr std::time_t kKeepAliveSeconds = 2;
constexpr int kListenBacklog = 1024;
constexpr std::size_t kLargestRequest = 16u << 20;

std::optional<fs::path> makeTemporaryLibrary() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / "vantrel-hostsim-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data()))
    return std::nullopt;
  return fs::path(name.data());
}

// The sample's pictures are drawn, not shipped: a fresh library gets them on first start.
void drawSamplePictures(const Library& library) {
  for (const auto& card : library.allCards()) {
    std::vector<std::string> pictures = card.imageFiles;
    if (!card.thumbnailFile.empty())
      pictures.push_back(card.thumbnailFile);
    int width = card.width > 0 ? card.width / 4 : 480,
        height = card.height > 0 ? card.height / 4 : 640;
    for (const auto& picture : pictures) {
      std::error_code ec;
      if (fs::exists(library.mediaRoot() / picture, ec))
        continue;
      if (auto still = drawStill(picture, width, height))
        writeFileAtomically(library.mediaRoot() / picture, *still, 0644, Durability::cache);
    }
  }
}

struct LoadedLibrary {
  std::vector<Card> cards;
  bool seeded = false;
};

std::variant<LoadedLibrary, std::string> loadCards(const std::optional<fs::path>& storeFile) {
  if (storeFile) {
    std::error_code ec;
    if (fs::exists(*storeFile, ec)) {
      auto text = readWholeFile(*storeFile);
      auto cards = text ? Library::cardsFromStored(*text) : std::nullopt;
      // A damaged library is the user's data: refuse to start rather than replace it.
      if (!cards)
        return "cannot read the library " + storeFile->string();
      return LoadedLibrary{std::move(*cards), false};
    }
  }
  auto cards = Library::cardsFromStored(sampleLibraryText());
  if (!cards)
    return std::string("the built-in sample library is damaged");
  return LoadedLibrary{std::move(*cards), true};
}

} // namespace

std::variant<std::unique_ptr<HostSim>, std::string> HostSim::start(const HostSimOptions& options) {
  std::unique_ptr<HostSim> sim(new HostSim());
  std::string bundle(bridge::kBundleDirectory);
  while (bundle.ends_with('/'))
    bundle.pop_back();
  sim->bundleDir_ = options.supportDir / bundle;
  // Both places the server reads: a live file in either would be hidden by ours.
  if (auto live =
          findLiveBridge({sim->tokenPath(), options.supportDir / "bridge.token"}, kAnswerPatience))
    return "a Bridge already answers on 127.0.0.1:" + std::to_string(live->port) + " for " +
           live->tokenFile.string() + "; to run beside it, give another folder with --support-dir";

  fs::path libraryRoot;
  std::optional<fs::path> storeFile;
  if (options.dataDir) {
    libraryRoot = *options.dataDir;
    storeFile = libraryRoot / "library.json";
  } else {
    auto temporary = makeTemporaryLibrary();
    if (!temporary)
      return std::string("cannot create a temporary library folder");
    libraryRoot = sim->temporaryLibrary_ = *temporary;
  }
  auto loaded = loadCards(storeFile);
  if (auto* error = std::get_if<std::string>(&loaded))
    return *error;
  auto& [cards, seeded] = std::get<LoadedLibrary>(loaded);
  std::size_t count = cards.size();
  sim->library_ = std::make_unique<Library>(std::move(cards), libraryRoot / "media", storeFile);
  if (seeded) {
    drawSamplePictures(*sim->library_);
    if (auto error = sim->library_->save())
      return *error;
  }
  sim->description_ = storeFile ? storeFile->string() + " (" + std::to_string(count) + " cards)"
                                : "in-memory sample (" + std::to_string(count) + " cards)";

  sim->token_ = randomHex(16);
  if (sim->token_.empty())
    return std::string("cannot read /dev/urandom for a token");
  sim->worksheets_ = std::make_unique<Worksheets>(*sim->library_, sim->bundleDir_ / "AIWork");
  sim->services_.reset(new BridgeServices{*sim->library_, *sim->worksheets_, sim->telemetry_,
                                          sim->bundleDir_ / "Cache", sim->token_});
  installRoutes(sim->server_, *sim->services_);
  sim->server_.new_task_queue = [] {
    return new ServingPool(kKeptThreads, kMostThreads, kThreadIdleLife);
  };
  sim->server_.set_keep_alive_timeout(kKeepAliveSeconds);
  // cpp-httplib writes a reply's head and body apart; with Nagle on, the body waits for the
  // client's delayed ACK (40 ms) and a keep-alive connection stays busy that long.
  sim->server_.set_tcp_nodelay(true);
  sim->server_.set_payload_max_length(kLargestRequest);

  if (options.port > 0) {
    if (!sim->server_.bind_to_port("127.0.0.1", options.port))
      return "cannot listen on 127.0.0.1:" + std::to_string(options.port);
    sim->port_ = options.port;
  } else {
    sim->port_ = sim->server_.bind_to_any_port("127.0.0.1");
    if (sim->port_ <= 0)
      return std::string("cannot listen on 127.0.0.1");
  }
  if (!sim->server_.widenBacklog(kListenBacklog))
    return "cannot listen on 127.0.0.1:" + std::to_string(sim->port_) + ": " + std::strerror(errno);
  sim->serving_ = std::thread([server = &sim->server_] { server->listen_after_bind(); });
  // stop() before the loop has started would be lost and leave join() waiting forever.
  while (!sim->server_.is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  json credentials = {{"port", sim->port_}, {"token", sim->token_}};
  if (auto error = writeFileAtomically(sim->tokenPath(), serialize(credentials) + "\n", 0600))
    return *error;
  fs::path guide = sim->bundleDir_ / "agent-guide.md";
  std::error_code ec;
  if (!fs::exists(guide, ec)) {
    if (auto error = writeFileAtomically(guide, agentGuideText()))
      return *error;
  }
  return sim;
}

HostSim::~HostSim() {
  stop();
}

void HostSim::stop() {
  std::call_once(stopped_, [this] {
    // The app may have written its own file since; its credentials must stay.
    if (!token_.empty() && holdsToken(tokenPath(), token_)) {
      std::error_code ec;
      fs::remove(tokenPath(), ec);
    }
    server_.stop();
    if (serving_.joinable())
      serving_.join();
    if (!temporaryLibrary_.empty()) {
      std::error_code ec;
      fs::remove_all(temporaryLibrary_, ec);
    }
  });
}

} // namespace vantrel::hostsim
