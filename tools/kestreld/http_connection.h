// HTTP connections that the door let in, each served on a thread of its own
// by httplib's parser and router, over a stream that bounds what the client
// may send and how long it may take (the request head and body in bytes and
// time, the pause between requests, an answer it does not read). So a slow,
// idle or streaming client holds its own connection and nothing shared, and
// stop() ends every connection at once.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <asio.hpp>
#include <httplib.h>

#include "door.h"

namespace kestreld {

class BoundedStream;

class HttpConnection {
 public:
  HttpConnection(asio::ip::tcp::socket socket, Door::Ticket ticket);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Whether the client has closed or reset the connection, or the daemon
  // ends it: a handler waiting for the board checks this to give up.
  bool clientGone();
  // The connection ends after the answer being made (its body, if any, was not read).
  void closeAfterResponse() { closeAfter_ = true; }
  bool closingAfterResponse() const { return closeAfter_; }
  const std::string& localAddress() const { return localAddress_; }
  // The request head outgrew its limit, or its time ran out.
  bool headTooLarge() const;
  bool timedOut() const;

  BoundedStream& stream() { return *stream_; }
  // Shuts the socket so that every read and write on it ends now.
  void interrupt();
  // Closes the socket; the connection's own thread, at its end.
  void finish();

 private:
  std::mutex mutex_;
  int fd_;
  bool interrupted_ = false;
  Door::Ticket ticket_;
  std::string localAddress_;
  std::unique_ptr<BoundedStream> stream_;
  bool closeAfter_ = false;
};

class HttpConnections : public httplib::Server {
 public:
  HttpConnections() = default;
  ~HttpConnections() override;

  // Marks the server open on `listener` (httplib ends event streams when it is not).
  void open(int listener) { svr_sock_ = listener; }
  // Serves the connection on a thread of its own until the client or stop() ends it.
  void serve(asio::ip::tcp::socket socket, Door::Ticket ticket);
  // Ends every connection now and waits for their threads.
  void stop();

  // The connection the calling handler serves (each runs on its connection's thread).
  static HttpConnection* current();

 private:
  struct Served {
    std::shared_ptr<HttpConnection> connection;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void run(HttpConnection& connection);
  bool serveOne(HttpConnection& connection, bool last);
  void reapFinished();

  std::mutex mutex_;
  std::list<Served> served_;
  bool stopping_ = false;
};

// A whole HTTP response with a JSON error body, for answers written outside
// httplib (at the door, or when the request head never ended).
std::string cannedResponse(int status, const std::string& sentence);

}  // namespace kestreld
