#include "http_server.h"

#include <charconv>
#include <cmath>
#include <future>

#include "board_worker.h"
#include "metrics.h"
#include "protocol/board_protocol.h"
#include "scpi_errors.h"
#include "settings_request.h"
#include "status_hub.h"

namespace kestreld {

namespace {

using httplib::DataSink;
using httplib::Request;
using httplib::Response;

// The stored configuration takes about 2.8 s of board traffic and pauses;
// progress is shown against that, since the library reports none.
constexpr double kConfigSeconds = 2.8;
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
constexpr auto kIdleEventPeriod = std::chrono::seconds(5);
constexpr double kDefaultPlanMHz = 1000.0;  // the clock *RST sets

std::string event(const char* name, const Json& data) {
  return std::string("event: ") + name + "\ndata: " + data.dump() + "\n\n";
}

bool emit(DataSink& sink, const std::string& text) { return sink.write(text.data(), text.size()); }

std::optional<double> parseNumber(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Waits for a job on the board's worker; false (and a reply) when it takes too long.
template <typename T>
bool await(std::future<T>& result, Response& res) {
  if (result.wait_for(HttpFace::kRequestTimeout) == std::future_status::ready) return true;
  sendError(res, 504, "the board is busy: the request is still queued on its worker");
  return false;
}

Json errorBody(int status, const std::string& sentence) { return {{"status", status}, {"error", sentence}}; }

}  // namespace

void sendJson(Response& res, const Json& body, int status) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(), "application/json");
}

void sendError(Response& res, int status, const std::string& sentence) {
  sendJson(res, errorBody(status, sentence), status);
}

HttpFace::HttpFace(std::vector<BoardWorker*> boards, StatusHub& hub, const AccessList& access, std::string webRoot)
    : boards_(std::move(boards)), hub_(hub), access_(access), webRoot_(std::move(webRoot)) {
  server_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  // Headers and body go out in separate writes: without this, Nagle's
  // algorithm holds the body for the client's delayed ACK (about 40 ms).
  server_.set_tcp_nodelay(true);
  routes();
}

HttpFace::~HttpFace() { stop(); }

void HttpFace::addDocument(const std::string& path, const std::string& contentType, Document document) {
  server_.Get(path, [contentType, document = std::move(document)](const Request& req, Response& res) {
    auto [status, body] = document(req.local_addr);
    if (status != 200) return sendError(res, status, body);
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, contentType.c_str());
  });
}

void HttpFace::listen(const std::string& host, int port) {
  if (!server_.bind_to_port(host, port)) {
    throw std::runtime_error("cannot serve HTTP on " + host + " port " + std::to_string(port));
  }
}

void HttpFace::start() {
  thread_ = std::thread([this] { server_.listen_after_bind(); });
}

void HttpFace::stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

bool HttpFace::allowed(const std::string& remoteAddress) const {
  std::string address = remoteAddress;
  if (address.rfind("::ffff:", 0) == 0) address = address.substr(7);
  if (const auto v4 = parseIPv4(address)) return access_.allows(*v4);
  return access_.open();  // the networks are IPv4 ones
}

BoardWorker* HttpFace::find(const std::string& name) const {
  for (BoardWorker* board : boards_) {
    if (board->name() == name) return board;
  }
  return nullptr;
}

void HttpFace::boardRoute(const char* method, const std::string& suffix, Handler handler) {
  const std::string pattern = "/api/boards/([^/]+)" + suffix;
  auto route = [this, handler](const Request& req, Response& res) {
    BoardWorker* board = find(req.matches[1]);
    if (board == nullptr) return sendError(res, 404, "there is no board named '" + std::string(req.matches[1]) + "'");
    handler(*board, req, res);
    board->stats().countRequest(Face::Http, res.status >= 400);
  };
  if (std::string(method) == "GET") {
    server_.Get(pattern, route);
  } else {
    server_.Post(pattern, route);
  }
}

void HttpFace::routes() {
  server_.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (allowed(req.remote_addr)) return httplib::Server::HandlerResponse::Unhandled;
    sendError(res, 403, "this address may not use the daemon (see --allow)");
    return httplib::Server::HandlerResponse::Handled;
  });
  server_.set_error_handler([](const Request& req, Response& res) {
    if (!res.body.empty()) return;
    sendError(res, res.status, res.status == 404 ? "there is nothing at " + req.path : "the request failed");
  });
  server_.set_mount_point("/", webRoot_);
  // The plot's package, when the setup script installed it; the page works without.
  server_.set_mount_point("/vendor/uplot", webRoot_ + "/node_modules/uplot/dist");

  server_.Get("/api/boards", [this](const Request&, Response& res) { listBoards(res); });
  server_.Get("/metrics", [this](const Request&, Response& res) {
    res.set_content(prometheusText(boards_, hub_), "text/plain; version=0.0.4; charset=utf-8");
  });
  boardRoute("GET", "", [this](BoardWorker& b, const Request&, Response& res) { getStatus(b, res); });
  boardRoute("POST", "/settings",
             [this](BoardWorker& b, const Request& req, Response& res) { postSettings(b, req, res); });
  boardRoute("GET", "/plan", [this](BoardWorker& b, const Request& req, Response& res) { getPlan(b, req, res); });
  boardRoute("GET", "/config", [this](BoardWorker& b, const Request& req, Response& res) { getConfig(b, req, res); });
  boardRoute("GET", "/events", [this](BoardWorker& b, const Request&, Response& res) { streamStatus(b, res); });
}

void HttpFace::listBoards(Response& res) const {
  Json list = Json::array();
  for (BoardWorker* board : boards_) {
    list.push_back({{"name", board->name()},
                    {"address", board->address()},
                    {"emulator", board->emulator() != nullptr},
                    {"available", board->connected()},
                    {"href", "/api/boards/" + board->name()}});
  }
  sendJson(res, list);
}

void HttpFace::getStatus(BoardWorker& board, Response& res) {
  auto result = board.submit([this](BoardWorker& b) {
    Json status = boardStatus(b);
    hub_.publish(b.name(), status);
    return status;
  });
  if (await(result, res)) sendJson(res, result.get());
}

void HttpFace::postSettings(BoardWorker& board, const Request& req, Response& res) {
  std::vector<SettingChange> changes;
  try {
    changes = parseSettings(Json::parse(req.body));
  } catch (const Json::parse_error&) {
    return sendError(res, 400, "the body is not valid JSON");
  } catch (const BadRequest& e) {
    return sendError(res, 400, e.what());
  }
  auto result = board.submit([this, changes](BoardWorker& b) {
    ApplyResult applied = applySettings(b, changes);
    Json status = boardStatus(b);
    hub_.publish(b.name(), status);
    return std::make_pair(std::move(applied), std::move(status));
  });
  if (!await(result, res)) return;
  auto [applied, status] = result.get();
  const int code = httpStatusFor(applied.scpiError);
  Json body = code == 200 ? Json{{"status", 200}} : errorBody(code, applied.message);
  body["applied"] = applied.applied;
  body["board"] = std::move(status);
  sendJson(res, body, code);
}

void HttpFace::getPlan(BoardWorker& board, const Request& req, Response& res) {
  const auto inRange = [](double mhz) { return mhz > 20.0 && mhz < 5500.0; };
  // Without ?mhz=, the clock the daemon knows, or the *RST clock when it knows none.
  const Json status = hub_.latest(board.name()).status;
  double mhz = status.is_object() ? status.value("/settings/clockMHz"_json_pointer, 0.0) : 0.0;
  if (!inRange(mhz)) mhz = kDefaultPlanMHz;
  if (req.has_param("mhz")) {
    const auto value = parseNumber(req.get_param_value("mhz"));
    if (!value || !inRange(*value)) return sendError(res, 400, "mhz must be a number above 20 and below 5500");
    mhz = *value;
  }
  sendJson(res, planJson(mhz, kestrel::protocol::kBoardReferenceMHz));
}

void HttpFace::getConfig(BoardWorker& board, const Request& req, Response& res) {
  std::shared_future<Json> result = board.submit([](BoardWorker& b) {
    ActiveConfig c{};
    b.check("vxclk_getActiveConfig", vxclk_getActiveConfig(b.instance(), &c));
    b.settings().stored = c;
    return configJson(c);
  });
  const auto failure = [](const scpi::ScpiError& e) {
    const int code = httpStatusFor(e.code);
    return errorBody(code, std::string(scpi::errorText(e.code)) + ": " + e.what());
  };
  if (req.get_header_value("Accept").find("text/event-stream") == std::string::npos) {
    if (result.wait_for(kRequestTimeout) != std::future_status::ready) return sendError(res, 504, "the board is busy");
    try {
      return sendJson(res, result.get());
    } catch (const scpi::ScpiError& e) {
      const Json body = failure(e);
      return sendJson(res, body, body["status"].get<int>());
    }
  }
  // An event stream: progress until the configuration arrives, then the configuration.
  const auto begin = std::chrono::steady_clock::now();
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider("text/event-stream", [this, result, begin, failure](size_t, DataSink& sink) {
    if (hub_.stopped()) return false;
    if (result.wait_for(kProgressPeriod) != std::future_status::ready) {
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      return emit(sink,
                  event("progress", {{"fraction", std::min(0.95, elapsed / kConfigSeconds)}, {"seconds", elapsed}}));
    }
    std::string last;
    try {
      last = event("config", result.get());
    } catch (const scpi::ScpiError& e) {
      last = event("failure", failure(e));
    }
    emit(sink, last);
    sink.done();
    return true;
  });
}

void HttpFace::streamStatus(BoardWorker& board, Response& res) {
  res.set_header("Cache-Control", "no-store");
  const std::string name = board.name();
  uint64_t seen = 0;
  res.set_chunked_content_provider("text/event-stream", [this, name, seen](size_t, DataSink& sink) mutable {
    const auto snapshot = hub_.waitNewer(name, seen, kIdleEventPeriod);
    if (hub_.stopped()) return false;
    if (!snapshot) return emit(sink, ": idle\n\n");  // keeps proxies from closing a quiet stream
    seen = snapshot->version;
    return emit(sink, event("status", snapshot->status));
  });
}

}  // namespace kestreld
