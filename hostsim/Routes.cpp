#include "Routes.h"

#include "Files.h"
#include "Importer.h"
#include "Media.h"
#include "Text.h"
#include "common/Json.h"

namespace vantrel::hostsim {
namespace {

using nlohmann::json;

void send(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  res.set_content(serialize(reply.body), "application/json; charset=utf-8");
}

QueryParams paramsOf(const httplib::Request& req) {
  QueryParams params;
  for (const auto& [key, value] : req.params)
    params.emplace(key, value); // first one wins
  return params;
}

// An absent body counts as an empty object: POST /ai/settle sends {} but may send nothing.
// Only JSON's own whitespace counts as nothing; any other text goes to the parser.
std::optional<json> bodyOf(const httplib::Request& req) {
  if (req.body.find_first_not_of(" \t\n\r") == std::string::npos)
    return json::object();
  return parseJson(req.body);
}

// Compares without an early exit, so timing does not reveal how much of a guess was right.
bool sameSecret(const std::string& given, const std::string& expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  return difference == 0;
}

using BodyHandler = std::function<Reply(const httplib::Request&, const json&)>;

httplib::Server::Handler withBody(BodyHandler handler) {
  return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
    auto body = bodyOf(req);
    send(res, body ? handler(req, *body) : Reply::fail(400, "请求体不是有效的 JSON"));
  };
}

} // namespace

void installRoutes(httplib::Server& server, BridgeServices& services) {
  server.set_pre_routing_handler([&services](const httplib::Request& req, httplib::Response& res) {
    if (!services.token.empty() &&
        sameSecret(req.get_header_value("Authorization"), "Bearer " + services.token))
      return httplib::Server::HandlerResponse::Unhandled;
    send(res, Reply::fail(401, "未授权：缺少或错误的 Bearer token（请重新读取 bridge.token）"));
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty())
      return;
    send(res, Reply::fail(res.status, res.status == 404 ? "没有这个接口" : "请求无法处理"));
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string what = "未知错误";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        send(res, Reply::fail(500, "Bridge 内部错误：" + what));
      });

  Library& library = services.library;

  server.Get("/assets", [&library](const httplib::Request& req, httplib::Response& res) {
    auto query = searchQueryFrom(paramsOf(req));
    if (auto* problem = std::get_if<Reply>(&query))
      return send(res, *problem);
    send(res, library.search(std::get<SearchQuery>(query)));
  });
  server.Get("/events", [&library](const httplib::Request& req, httplib::Response& res) {
    std::optional<long long> since;
    if (req.has_param("since")) {
      since = parseInteger(req.get_param_value("since"));
      if (!since)
        return send(res, Reply::fail(400, "since 需为整数（上次返回的 cursor）"));
    }
    send(res, library.events(since));
  });
  server.Post("/assets/import-link", withBody([&library](const auto&, const json& body) {
                return importLink(library, body);
              }));
  server.Post("/assets/import-file", withBody([&library](const auto&, const json& body) {
                return importFile(library, body);
              }));
  server.Post("/assets/create-gallery", withBody([&library](const auto&, const json& body) {
                return createGallery(library, body);
              }));
  server.Get(R"(/assets/([^/]+))", [&library](const httplib::Request& req, httplib::Response& res) {
    send(res, library.detail(req.matches[1]));
  });
  server.Post(R"(/assets/([^/]+)/notes)",
              withBody([&library](const httplib::Request& req, const json& body) {
                return library.addNote(req.matches[1], body);
              }));
  server.Post(R"(/assets/([^/]+)/transcript)",
              withBody([&library](const httplib::Request& req, const json& body) {
                return library.saveTranscript(req.matches[1], body,
                                              req.get_param_value("overwrite") == "true");
              }));
  server.Get(
      R"(/assets/([^/]+)/audio)", [&services](const httplib::Request& req, httplib::Response& res) {
        send(res, extractAudio(services.library, services.cacheDir, req.matches[1], paramsOf(req)));
      });
  server.Get(R"(/assets/([^/]+)/frames)", [&services](const httplib::Request& req,
                                                      httplib::Response& res) {
    send(res, extractFrames(services.library, services.cacheDir, req.matches[1], paramsOf(req)));
  });
  server.Get("/ai/export", [&services](const httplib::Request& req, httplib::Response& res) {
    send(res, services.worksheets.exportCard(req.get_param_value("shortID")));
  });
  server.Post("/ai/settle", withBody([&services](const auto&, const json&) {
                return services.worksheets.settle();
              }));
  server.Post("/telemetry", withBody([&services](const auto&, const json& body) {
                if (!body.is_object())
                  return Reply::fail(400, "使用报告需为 JSON 对象");
                json report = body;
                report["receivedAt"] = isoNow();
                services.telemetry.add(std::move(report));
                return Reply::ok({{"ok", true}});
              }));
  server.Get("/telemetry", [&services](const httplib::Request&, httplib::Response& res) {
    json reports = services.telemetry.all();
    send(res, Reply::ok({{"count", reports.size()}, {"reports", std::move(reports)}}));
  });
}

} // namespace vantrel::hostsim
