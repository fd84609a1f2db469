// The HTTP face of kestreld: the JSON API, the event streams, /metrics and
// the front panel's static files, on one port for all boards (boards by name
// in the URL). Every board request runs as a job on the board's worker, the
// same one that runs the SCPI clients, so both faces see one state.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <httplib.h>

#include "access_list.h"
#include "board_json.h"

namespace kestreld {

class BoardWorker;
class StatusHub;

class HttpFace {
 public:
  // A board request waits this long for its worker (a configuration read
  // takes about 3 s, and may queue behind others) before giving 504.
  static constexpr std::chrono::seconds kRequestTimeout{30};
  static constexpr int kThreads = 16;  // every open page holds one for its event stream

  HttpFace(std::vector<BoardWorker*> boards, StatusHub& hub, const AccessList& access, std::string webRoot);
  ~HttpFace();
  HttpFace(const HttpFace&) = delete;
  HttpFace& operator=(const HttpFace&) = delete;

  // A GET route another face serves (the LXI identification): given the
  // address the client reached, its status and body; an error body is a sentence.
  using Document = std::function<std::pair<int, std::string>(const std::string& localAddress)>;
  void addDocument(const std::string& path, const std::string& contentType, Document document);

  // Binds; throws std::runtime_error when the address cannot be had.
  void listen(const std::string& host, int port);
  void start();
  void stop();

 private:
  using Handler = std::function<void(BoardWorker&, const httplib::Request&, httplib::Response&)>;

  void routes();
  void boardRoute(const char* method, const std::string& suffix, Handler handler);
  BoardWorker* find(const std::string& name) const;
  bool allowed(const std::string& remoteAddress) const;

  void listBoards(httplib::Response& res) const;
  void getStatus(BoardWorker& board, httplib::Response& res);
  void postSettings(BoardWorker& board, const httplib::Request& req, httplib::Response& res);
  void getPlan(BoardWorker& board, const httplib::Request& req, httplib::Response& res);
  void getConfig(BoardWorker& board, const httplib::Request& req, httplib::Response& res);
  void streamStatus(BoardWorker& board, httplib::Response& res);

  std::vector<BoardWorker*> boards_;
  StatusHub& hub_;
  const AccessList& access_;
  std::string webRoot_;
  httplib::Server server_;
  std::thread thread_;
};

// {"status": 400, "error": "a sentence"} with that status.
void sendError(httplib::Response& res, int status, const std::string& sentence);
void sendJson(httplib::Response& res, const Json& body, int status = 200);

}  // namespace kestreld
