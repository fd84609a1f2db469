// The VXI-11 face: the core and abort channels over libtirpc, registered
// with the host's portmapper (rpcbind), in front of a LinkTable. One thread
// runs every connection; a call that has to wait for a board or a lock is
// answered later from the same thread, so no client holds up another and the
// abort channel is always served.
//
// A host's portmapper maps the VXI-11 program to one server only: when
// another live server holds it, start() refuses and kestreld runs without
// VXI-11. A registration left by a server that no longer answers is taken over.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "door.h"
#include "vxi11_links.h"

struct __rpc_svcxprt;
struct svc_req;

namespace kestreld {

class BoardWorker;

namespace vxi11 {

class Mailbox;

class Vxi11Server {
 public:
  // Connections come in through `door`, counted with the other faces'.
  Vxi11Server(std::vector<BoardWorker*> boards, Door& door, LinkLimits linkLimits = {});
  ~Vxi11Server();
  Vxi11Server(const Vxi11Server&) = delete;
  Vxi11Server& operator=(const Vxi11Server&) = delete;

  // Listens on `address` (ports chosen by the system), registers the core
  // channel and starts serving. False, with the reason, when it cannot: no
  // portmapper answers, another server holds the program, or the address is refused.
  bool start(const std::string& address, std::string& why);
  // Withdraws the registration and ends every link and connection.
  void stop();

  uint16_t corePort() const { return corePort_; }
  uint16_t abortPort() const { return abortPort_; }

 private:
  enum class Channel { Core, Abort };
  struct Connection {
    int fd = -1;
    ConnectionId id = 0;
    Channel channel = Channel::Core;
    std::string address;
    Door::Ticket ticket;            // its place inside, given back when it closes
    bool refused = false;           // shut down at once, before any call is read
    __rpc_svcxprt* xprt = nullptr;  // known from its first call
    uint64_t awaiting = 0;          // the call whose answer is still owed, 0 when none
  };
  // Where the answer to one call goes, if its connection is still there.
  struct Ticket {
    int fd = -1;
    ConnectionId id = 0;
    uint64_t serial = 0;
  };

  static void dispatchCore(svc_req* request, __rpc_svcxprt* xprt);
  static void dispatchAbort(svc_req* request, __rpc_svcxprt* xprt);

  bool listenOn(const std::string& address, std::string& why);
  bool claimRegistration(std::string& why);
  void destroyListeners();
  void run();
  std::vector<pollfd> watchList() const;
  int pollTimeout() const;
  void serve(int fd, short events);
  void admitNewConnections(Channel channel);
  bool admit(Connection& connection);
  void closed(int fd);
  void closeAll();

  Connection* callerOf(__rpc_svcxprt* xprt, Channel channel);
  Ticket owe(Connection& connection);
  // Sends the answer when its connection still waits for it.
  void answer(const Ticket& ticket, const std::function<bool(__rpc_svcxprt*)>& send);
  void answerError(const Ticket& ticket, int32_t error);
  void serveCore(svc_req* request, __rpc_svcxprt* xprt, Connection& connection);
  void serveGeneric(unsigned long procedure, __rpc_svcxprt* xprt, Connection& connection);
  void serveUnsupported(unsigned long procedure, __rpc_svcxprt* xprt);
  void serveAbort(svc_req* request, __rpc_svcxprt* xprt, Connection& connection);

  Door& door_;
  std::shared_ptr<Mailbox> mailbox_;
  LinkTable links_;
  __rpc_svcxprt* coreListener_ = nullptr;
  __rpc_svcxprt* abortListener_ = nullptr;
  uint16_t corePort_ = 0;
  uint16_t abortPort_ = 0;
  bool registered_ = false;
  std::map<int, Connection> connections_;
  ConnectionId lastConnection_ = 0;
  uint64_t lastSerial_ = 0;
  Clock::time_point acceptPausedUntil_{};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace vxi11
}  // namespace kestreld
