// The HTTP face of kestreld: the JSON API, the event streams, /metrics and
// the front panel's files, on one port for all boards (boards by name in the
// URL). Every board request runs as a job on the board's own thread, the
// same one that serves the SCPI clients, so both faces see one state; the
// face only parses, calls the board service and maps its error to a status. Connections come
// in through the door, and each request's head passes the door's rules
// (Host, Origin, token, body size) before its body is read.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <asio.hpp>
#include <httplib.h>

#include "board_json.h"
#include "board_worker.h"
#include "door_acceptor.h"
#include "http_connection.h"
#include "web_files.h"

namespace kestreld {

class StatusHub;

class HttpFace {
 public:
  // A board request waits this long for its worker (a configuration read
  // takes about 3 s, and may queue behind others) before giving 504; the
  // job is then withdrawn, so it is never applied afterwards.
  static constexpr std::chrono::seconds kDefaultRequestTimeout{30};

  // `version`: the daemon's, for /api/limits.
  HttpFace(asio::io_context& io, std::vector<BoardWorker*> boards, StatusHub& hub, Door& door, HttpRules rules,
           std::string webRoot, std::string version,
           std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout);
  ~HttpFace();
  HttpFace(const HttpFace&) = delete;
  HttpFace& operator=(const HttpFace&) = delete;

  // A GET route another face serves (the LXI identification), added before
  // listen(): given the address the client reached us on, its status and
  // body; an error's body is a sentence, sent as the JSON error.
  using Document = std::function<std::pair<int, std::string>(const std::string& localAddress)>;
  void addDocument(const std::string& path, const std::string& contentType, Document document);

  // Binds and listens; throws std::system_error when the address cannot be had.
  void listen(const asio::ip::tcp::endpoint& endpoint);
  // Closes the listener and ends every connection.
  void stop();

 private:
  using Request = httplib::Request;
  using Response = httplib::Response;
  using Handler = std::function<void(BoardWorker&, const Request&, Response&)>;

  struct Route {
    std::string method;
    std::regex pattern;
  };

  void routes();
  void route(const char* method, const std::string& pattern, httplib::Server::Handler handler);
  void boardRoute(const char* method, const std::string& suffix, Handler handler);
  void fileRoutes();
  bool refuseAtTheDoor(const Request& req, Response& res);
  bool refuseMethod(const Request& req, Response& res);
  BoardWorker* find(const std::string& name) const;

  // Waits for a board job; nullopt (and an answer in res) when it was
  // withdrawn because the client went, the daemon stops or time ran out.
  template <typename T>
  std::optional<T> await(Submitted<T>& job, Response& res);

  void listBoards(Response& res) const;
  void getStatus(BoardWorker& board, Response& res);
  void postSettings(BoardWorker& board, const Request& req, Response& res);
  void getPlan(BoardWorker& board, const Request& req, Response& res);
  void getSweep(BoardWorker& board, Response& res);
  void postSweep(BoardWorker& board, const Request& req, Response& res);
  Json limits() const;
  void getConfig(BoardWorker& board, const Request& req, Response& res);
  void streamConfigRead(Submitted<Json> job, Response& res);
  void streamStatus(BoardWorker& board, Response& res);

  std::vector<BoardWorker*> boards_;
  StatusHub& hub_;
  HttpRules rules_;
  WebFiles files_;
  std::string version_;
  std::chrono::milliseconds requestTimeout_;
  std::vector<Route> routes_;
  HttpConnections server_;
  DoorAcceptor acceptor_;
};

// {"status": 400, "error": "a sentence"} with that status.
void sendError(httplib::Response& res, int status, const std::string& sentence);
void sendJson(httplib::Response& res, const Json& body, int status = 200);

}  // namespace kestreld
