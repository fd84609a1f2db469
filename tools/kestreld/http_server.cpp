#include "http_server.h"

#include <charconv>
#include <cmath>

#include "metrics.h"
#include "settings_request.h"
#include "sweep_request.h"
#include "status_hub.h"

namespace kestreld {

namespace {

using httplib::DataSink;
using Clock = std::chrono::steady_clock;

// The stored configuration takes about 2.8 s of board traffic and pauses;
// progress is shown against that, since the library reports none.
constexpr double kConfigSeconds = 2.8;
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
constexpr auto kIdleEventPeriod = std::chrono::seconds(5);
constexpr auto kWaitSlice = std::chrono::milliseconds(100);  // how often a waiting request looks at its client

// The page's own scripts and styles, nothing inline, no frames.
const httplib::Headers kSecurityHeaders = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
     "base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};

// Text a client gave (a calibration file's name) may not be UTF-8: replaced, never thrown.
std::string text(const Json& data) { return data.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string event(const char* name, const Json& data) {
  return std::string("event: ") + name + "\ndata: " + text(data) + "\n\n";
}

bool emit(DataSink& sink, const std::string& text) { return sink.write(text.data(), text.size()); }

std::optional<double> parseNumber(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

Json errorBody(int status, const std::string& sentence) { return {{"status", status}, {"error", sentence}}; }

Json boardFailure(const BoardError& e) { return errorBody(httpStatusFor(e.fault), e.what()); }

// The head as the door's rules see it; httplib adds REMOTE_ADDR and REMOTE_PORT.
HttpHead headOf(const httplib::Request& req, const std::string& localAddress) {
  HttpHead head;
  head.method = req.method;
  head.host = req.get_header_value("Host");
  if (req.has_header("Origin")) head.origin = req.get_header_value("Origin");
  head.contentType = req.get_header_value("Content-Type");
  head.authorization = req.get_header_value("Authorization");
  if (req.has_header("Content-Length")) head.contentLength = req.get_header_value("Content-Length");
  head.transferEncoding = req.has_header("Transfer-Encoding");
  const size_t added = (req.has_header("REMOTE_ADDR") ? 1 : 0) + (req.has_header("REMOTE_PORT") ? 1 : 0);
  head.headerCount = req.headers.size() - added;
  head.localAddress = localAddress;
  return head;
}

void closeAfter(httplib::Response& res) {
  if (HttpConnection* connection = HttpConnections::current()) connection->closeAfterResponse();
  res.set_header("Connection", "close");
}

// Turned away at the door: a short answer, written without reading anything.
void refuseAtAccept(asio::ip::tcp::socket& socket, Refused why) {
  const std::string answer = why == Refused::Address
                                 ? cannedResponse(403, "this address may not use the daemon (see --allow)")
                                 : cannedResponse(503, "too many connections: try again later");
  asio::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.send(asio::buffer(answer), 0, ignored);
  socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
}

}  // namespace

void sendJson(httplib::Response& res, const Json& body, int status) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(text(body), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& sentence) {
  sendJson(res, errorBody(status, sentence), status);
}

HttpFace::HttpFace(asio::io_context& io, std::vector<BoardWorker*> boards, StatusHub& hub, Door& door, HttpRules rules,
                   std::string webRoot, std::string version, std::chrono::milliseconds requestTimeout)
    : boards_(std::move(boards)),
      hub_(hub),
      rules_(std::move(rules)),
      files_(std::move(webRoot)),
      version_(std::move(version)),
      requestTimeout_(requestTimeout),
      acceptor_(
          io, door,
          [this](asio::ip::tcp::socket socket, Door::Ticket ticket) {
            asio::error_code ignored;
            // Headers and body go out in separate writes: without this, Nagle's
            // algorithm holds the body for the client's delayed ACK (about 40 ms).
            socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            server_.serve(std::move(socket), std::move(ticket));
          },
          refuseAtAccept) {
  server_.set_payload_max_length(HttpLimits::kMaxBody);
  server_.set_default_headers(kSecurityHeaders);
  routes();
}

HttpFace::~HttpFace() { stop(); }

void HttpFace::addDocument(const std::string& path, const std::string& contentType, Document document) {
  route("GET", std::regex_replace(path, std::regex(R"([.])"), R"(\.)"),
        [contentType, document = std::move(document)](const Request&, Response& res) {
          const HttpConnection* connection = HttpConnections::current();
          auto [status, body] = document(connection != nullptr ? connection->localAddress() : std::string());
          if (status != 200) return sendError(res, status, body);
          res.set_header("Cache-Control", "no-store");
          res.set_content(std::move(body), contentType);
        });
}

void HttpFace::listen(const asio::ip::tcp::endpoint& endpoint) {
  acceptor_.listen(endpoint);
  server_.open(acceptor_.nativeHandle());
}

void HttpFace::stop() {
  acceptor_.close();
  server_.stop();
}

BoardWorker* HttpFace::find(const std::string& name) const {
  for (BoardWorker* board : boards_) {
    if (board->name() == name) return board;
  }
  return nullptr;
}

// ---- routes -----------------------------------------------------------------------

void HttpFace::route(const char* method, const std::string& pattern, httplib::Server::Handler handler) {
  routes_.push_back({method, std::regex(pattern)});
  if (std::string(method) == "GET") {
    server_.Get(pattern, std::move(handler));
  } else {
    server_.Post(pattern, std::move(handler));
  }
}

void HttpFace::boardRoute(const char* method, const std::string& suffix, Handler handler) {
  route(method, "/api/boards/([^/]+)" + suffix, [this, handler](const Request& req, Response& res) {
    BoardWorker* board = find(req.matches[1]);
    if (board == nullptr) return sendError(res, 404, "there is no board named '" + std::string(req.matches[1]) + "'");
    handler(*board, req, res);
    board->stats().countRequest(Face::Http, res.status >= 400);
  });
}

void HttpFace::fileRoutes() {
  for (const std::string& path : WebFiles::paths()) {
    route("GET", std::regex_replace(path, std::regex(R"([.])"), R"(\.)"), [this](const Request& req, Response& res) {
      auto file = files_.read(req.path);
      if (!file) return sendError(res, 404, "there is nothing at " + req.path);
      res.set_content(std::move(file->content), file->type);
    });
  }
}

void HttpFace::routes() {
  server_.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (refuseAtTheDoor(req, res)) return httplib::Server::HandlerResponse::Handled;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // A client that waits for "100 Continue" before its body hears the door first.
  server_.set_expect_100_continue_handler(
      [this](const Request& req, Response& res) { return refuseAtTheDoor(req, res) ? res.status : 100; });
  server_.set_error_handler([](const Request& req, Response& res) {
    const HttpConnection* connection = HttpConnections::current();
    if (connection != nullptr && connection->headTooLarge()) {
      return sendError(res, 431, "the request head is larger than the daemon takes");
    }
    if (!res.body.empty()) return;
    sendError(res, res.status, res.status == 404 ? "there is nothing at " + req.path : "the request failed");
  });
  // Whatever a handler throws becomes a JSON 500 without its text.
  server_.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    sendError(res, 500, "the request failed inside the daemon");
  });
  fileRoutes();
  route("GET", "/api/boards", [this](const Request&, Response& res) { listBoards(res); });
  route("GET", "/api/token", [this](const Request&, Response& res) { sendJson(res, {{"token", rules_.token()}}); });
  route("GET", "/api/limits", [this](const Request&, Response& res) { sendJson(res, limits()); });
  route("GET", "/metrics", [this](const Request&, Response& res) {
    res.set_content(prometheusText(boards_, hub_), "text/plain; version=0.0.4; charset=utf-8");
  });
  boardRoute("GET", "", [this](BoardWorker& b, const Request&, Response& res) { getStatus(b, res); });
  boardRoute("POST", "/settings",
             [this](BoardWorker& b, const Request& req, Response& res) { postSettings(b, req, res); });
  boardRoute("GET", "/plan", [this](BoardWorker& b, const Request& req, Response& res) { getPlan(b, req, res); });
  boardRoute("GET", "/config", [this](BoardWorker& b, const Request& req, Response& res) { getConfig(b, req, res); });
  boardRoute("GET", "/sweep", [this](BoardWorker& b, const Request&, Response& res) { getSweep(b, res); });
  boardRoute("POST", "/sweep", [this](BoardWorker& b, const Request& req, Response& res) { postSweep(b, req, res); });
  boardRoute("GET", "/events", [this](BoardWorker& b, const Request&, Response& res) { streamStatus(b, res); });
}

// Host and Origin, then the method, then the body's size and the token:
// all before a byte of the body is read. A refused request's body stays
// unread, so its connection closes after the answer.
bool HttpFace::refuseAtTheDoor(const Request& req, Response& res) {
  const HttpConnection* connection = HttpConnections::current();
  const HttpHead head = headOf(req, connection != nullptr ? connection->localAddress() : "");
  auto refusal = rules_.checkCaller(head);
  if (!refusal && refuseMethod(req, res)) return true;
  if (!refusal) refusal = rules_.checkRequest(head);
  if (!refusal) return false;
  closeAfter(res);
  sendError(res, refusal->status, refusal->sentence);
  return true;
}

// A path that exists under other methods: 405 with the ones it takes.
bool HttpFace::refuseMethod(const Request& req, Response& res) {
  const std::string method = req.method == "HEAD" ? "GET" : req.method;
  std::string allowed;
  for (const Route& r : routes_) {
    if (!std::regex_match(req.path, r.pattern)) continue;
    if (r.method == method) return false;
    if (allowed.find(r.method) == std::string::npos) allowed += (allowed.empty() ? "" : ", ") + r.method;
  }
  if (allowed.empty()) return false;  // nothing there: 404
  if (allowed.find("GET") != std::string::npos) allowed += ", HEAD";
  closeAfter(res);
  res.set_header("Allow", allowed);
  sendError(res, 405, req.method + " is not taken here; " + req.path + " takes " + allowed);
  return true;
}

// ---- waiting for the board ----------------------------------------------------------

template <typename T>
std::optional<T> HttpFace::await(Submitted<T>& job, Response& res) {
  HttpConnection* connection = HttpConnections::current();
  const auto deadline = Clock::now() + requestTimeout_;
  while (job.result.wait_for(kWaitSlice) != std::future_status::ready) {
    const bool gone = connection != nullptr && connection->clientGone();
    if (!gone && Clock::now() < deadline) continue;
    if (job.control->withdraw()) {
      closeAfter(res);
      sendError(res, gone ? 503 : 504, "the board is busy: the request was withdrawn from its queue, not applied");
      return std::nullopt;
    }
    if (gone) return std::nullopt;  // it runs to its end; nobody is left to answer
    // It has started, so it is applied: its answer is worth the wait.
  }
  try {
    return job.result.get();
  } catch (const std::future_error&) {  // dropped from the queue by a stopping daemon
    sendError(res, 503, "the daemon is stopping");
    return std::nullopt;
  }
}

namespace {

template <typename F>
std::optional<Submitted<std::invoke_result_t<F, BoardWorker&>>> submitOrRefuse(BoardWorker& board, F fn,
                                                                               httplib::Response& res) {
  try {
    return board.submit(std::move(fn));
  } catch (const QueueFull&) {
    res.set_header("Retry-After", "1");
    sendError(res, 503, "the board's queue is full: try again shortly");
    return std::nullopt;
  }
}

}  // namespace

// ---- handlers -----------------------------------------------------------------------

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
  auto job = submitOrRefuse(
      board,
      [this](BoardWorker& b) {
        Json status = boardStatus(b.board());
        hub_.publish(b.name(), status);
        return status;
      },
      res);
  if (!job) return;
  if (auto status = await(*job, res)) sendJson(res, *status);
}

void HttpFace::postSettings(BoardWorker& board, const Request& req, Response& res) {
  std::vector<SettingChange> changes;
  try {
    changes = parseSettings(Json::parse(req.body));
  } catch (const Json::exception&) {
    return sendError(res, 400, "the body is not valid JSON (or holds a number beyond a double)");
  } catch (const BadRequest& e) {
    return sendError(res, 400, e.what());
  }
  auto job = submitOrRefuse(
      board,
      [this, changes](BoardWorker& b) {
        ApplyResult applied = applySettings(b.board(), changes);
        Json status = boardStatus(b.board());
        hub_.publish(b.name(), status);
        return std::make_pair(std::move(applied), std::move(status));
      },
      res);
  if (!job) return;
  auto result = await(*job, res);
  if (!result) return;
  auto& [applied, status] = *result;
  const int code = applied.fault ? httpStatusFor(*applied.fault) : 200;
  Json body = code == 200 ? Json{{"status", 200}} : errorBody(code, applied.message);
  body["applied"] = applied.applied;
  body["board"] = std::move(status);
  sendJson(res, body, code);
}

void HttpFace::getSweep(BoardWorker& board, Response& res) {
  auto job = submitOrRefuse(board, [](BoardWorker& b) { return sweepJson(b.sweep()); }, res);
  if (!job) return;
  if (auto sweep = await(*job, res)) sendJson(res, *sweep);
}

// The body is checked whole here; the board's thread lays its fields over
// the settings as they stand, then runs its action.
void HttpFace::postSweep(BoardWorker& board, const Request& req, Response& res) {
  SweepRequest request;
  try {
    request = parseSweepRequest(Json::parse(req.body));
  } catch (const Json::exception&) {
    return sendError(res, 400, "the body is not valid JSON (or lacks a field's value)");
  } catch (const BadRequest& e) {
    return sendError(res, 400, e.what());
  }
  auto job = submitOrRefuse(
      board,
      [request](BoardWorker& b) -> std::pair<std::optional<BoardError>, Json> {
        try {
          applySweepRequest(b.sweep(), request);
        } catch (const BoardError& e) {
          return {e, sweepJson(b.sweep())};
        }
        return {std::nullopt, sweepJson(b.sweep())};
      },
      res);
  if (!job) return;
  auto result = await(*job, res);
  if (!result) return;
  auto& [failure, sweep] = *result;
  Json body = failure ? boardFailure(*failure) : Json{{"status", 200}};
  body["sweep"] = std::move(sweep);
  sendJson(res, body, body["status"].get<int>());
}

void HttpFace::getPlan(BoardWorker& board, const Request& req, Response& res) {
  const Range& range = facts::kClockMHz;
  // Without ?mhz=, the clock the daemon knows, or the *RST clock when it knows none.
  double mhz = board.view().stored.generateFrequency;
  if (!range.contains(mhz)) mhz = Board::kResetClockMHz;
  if (req.has_param("mhz")) {
    const auto value = parseNumber(req.get_param_value("mhz"));
    if (!value || !range.contains(*value)) return sendError(res, 400, "mhz must be a number " + range.text());
    mhz = *value;
  }
  sendJson(res, planJson(mhz));
}

// Every settable field's range, the FM rate table and the version: the
// front panel takes its limits from here rather than restating them.
Json HttpFace::limits() const {
  Json rates = Json::array();
  for (double mhz : facts::kFMRatesMHz) rates.push_back(mhz * 1e6);
  const auto span = [](const Range& r) { return Json{{"min", r.min}, {"max", r.max}}; };
  const Json sweep = {{"points", span(sweep::kPoints)},
                      {"dwellSeconds", span(sweep::kDwellSeconds)},
                      {"count", span(sweep::kCount)},
                      {"maxListPoints", sweep::kMaxPoints}};
  return {{"version", version_}, {"settings", settingsLimits()}, {"fmRatesHz", rates}, {"sweep", sweep}};
}

// The daemon's view at once; ?read=board reads the board (about 3 s), joined
// with a read already under way.
void HttpFace::getConfig(BoardWorker& board, const Request& req, Response& res) {
  if (!req.has_param("read")) return sendJson(res, configJson(board.view().stored));
  if (req.get_param_value("read") != "board") return sendError(res, 400, "read takes one value: board");
  const auto askedAt = Clock::now();
  auto job = submitOrRefuse(
      board, [askedAt](BoardWorker& b) { return configJson(b.board().readStoredConfig(askedAt)); }, res);
  if (!job) return;
  if (req.get_header_value("Accept").find("text/event-stream") != std::string::npos) {
    return streamConfigRead(std::move(*job), res);
  }
  try {
    if (auto config = await(*job, res)) sendJson(res, *config);
  } catch (const BoardError& e) {
    const Json body = boardFailure(e);
    sendJson(res, body, body["status"].get<int>());
  }
}

// Progress events until the configuration arrives, then the configuration.
void HttpFace::streamConfigRead(Submitted<Json> job, Response& res) {
  const auto begin = Clock::now();
  const auto deadline = begin + requestTimeout_;
  std::shared_future<Json> result = job.result.share();
  std::shared_ptr<JobControl> control = job.control;
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [this, result, control, begin, deadline](size_t, DataSink& sink) {
        if (hub_.stopped()) return false;
        if (result.wait_for(kProgressPeriod) != std::future_status::ready) {
          if (Clock::now() > deadline && control->withdraw()) {
            emit(sink, event("failure", errorBody(504, "the board is busy: the read was withdrawn from its queue")));
            sink.done();
            return true;
          }
          const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
          return emit(
              sink, event("progress", {{"fraction", std::min(0.95, elapsed / kConfigSeconds)}, {"seconds", elapsed}}));
        }
        std::string last;
        try {
          last = event("config", result.get());
        } catch (const BoardError& e) {
          last = event("failure", boardFailure(e));
        } catch (const std::future_error&) {
          last = event("failure", errorBody(503, "the daemon is stopping"));
        }
        emit(sink, last);
        sink.done();
        return true;
      },
      [control](bool) { control->withdraw(); });  // a reader that left takes its read off the queue
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
