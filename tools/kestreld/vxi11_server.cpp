#include "vxi11_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

#include "door_acceptor.h"
#include "portmapper.h"
#include "vxi11.h"

#include <rpc/rpc_com.h>

namespace kestreld::vxi11 {

// Functions handed to the VXI-11 thread by the board workers, and the
// descriptor that wakes it for them.
class Mailbox {
 public:
  Mailbox() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Mailbox() {
    if (fd_ >= 0) ::close(fd_);
  }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  int fd() const { return fd_; }

  void post(std::function<void()> fn) {
    {
      std::lock_guard guard(mutex_);
      if (closed_) return;
      queue_.push_back(std::move(fn));
    }
    wake();
  }

  void wake() {
    const uint64_t one = 1;
    if (::write(fd_, &one, sizeof one) < 0) return;  // already awake: the counter is full
  }

  void runAll() {
    uint64_t count = 0;
    if (::read(fd_, &count, sizeof count) < 0 && errno != EAGAIN) return;
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard guard(mutex_);
      batch.swap(queue_);
    }
    for (auto& fn : batch) fn();
  }

  // What comes after this is dropped: the thread that would run it has ended.
  void close() {
    std::deque<std::function<void()>> dropped;
    std::lock_guard guard(mutex_);
    closed_ = true;
    dropped.swap(queue_);
  }

 private:
  int fd_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  bool closed_ = false;
};

namespace {

constexpr int kIdlePollMs = 1000;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr int kCallOverhead = 4096;  // RPC header, credentials and the other arguments of a device_write
constexpr int kClosingAttempts = 4;

// xdr_void takes no arguments; through a plain function pointer the cast says so.
const xdrproc_t kNoResult = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));

// libtirpc calls its dispatch functions without a context: one server per process.
Vxi11Server* serving = nullptr;

template <typename Args, typename Handler>
void withArgs(SVCXPRT* xprt, xdrproc_t decode, Handler handler) {
  Args args{};
  if (!svc_getargs(xprt, decode, reinterpret_cast<caddr_t>(&args))) {
    svcerr_decode(xprt);
    return;
  }
  handler(args);
  svc_freeargs(xprt, decode, reinterpret_cast<caddr_t>(&args));
}

template <typename Result>
bool sendReply(SVCXPRT* xprt, xdrproc_t encode, Result& result) {
  return svc_sendreply(xprt, encode, reinterpret_cast<caddr_t>(&result));
}

void replyError(SVCXPRT* xprt, int32_t error) {
  Device_Error result{error};
  sendReply(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_Error), result);
}

bool registered(int fd) {
  for (int i = 0; i < svc_max_pollfd; ++i) {
    if (svc_pollfd[i].fd == fd) return true;
  }
  return false;
}

std::string peerAddress(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  char text[INET6_ADDRSTRLEN] = "";
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {};
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(peer).sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
  }
  std::string address = text;
  if (address.rfind("::ffff:", 0) == 0) address.erase(0, 7);
  return address;
}

// A listening socket of our own, bound to the address kestreld serves on
// (libtirpc would bind the wildcard), non-blocking so that a client that
// gives up before its accept cannot stall the thread.
int listeningSocket(const std::string& address, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), "0", &hints, &found) != 0 || found == nullptr) {
    why = "'" + address + "' is not an IP address";
    return -1;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const bool ok = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
  freeaddrinfo(found);
  if (ok) return fd;
  why = "cannot listen on " + address + ": " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return -1;
}

uint16_t portOf(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(local).sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
}

CallOptions optionsOf(const Device_GenericParms& p) { return {p.flags, p.lock_timeout, p.io_timeout}; }

}  // namespace

Vxi11Server::Vxi11Server(std::vector<BoardWorker*> boards, Door& door, LinkLimits linkLimits)
    : door_(door),
      mailbox_(std::make_shared<Mailbox>()),
      links_(
          std::move(boards), commandTree(),
          [mailbox = mailbox_](std::function<void()> fn) { mailbox->post(std::move(fn)); }, linkLimits) {}

Vxi11Server::~Vxi11Server() { stop(); }

bool Vxi11Server::start(const std::string& address, std::string& why) {
  if (serving != nullptr) {
    why = "VXI-11 is already served by this process";
    return false;
  }
  // libtirpc writes replies with write(): a client gone meanwhile must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // With a record limit libtirpc reads each connection without blocking and
  // drops one that announces a larger call than a device_write may carry.
  int maxRecord = static_cast<int>(links_.limits().maxRecvSize) + kCallOverhead;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &maxRecord);
  if (!listenOn(address, why) || !claimRegistration(why)) {
    destroyListeners();
    return false;
  }
  svc_reg(coreListener_, DEVICE_CORE, DEVICE_CORE_VERSION, dispatchCore, nullptr);
  svc_reg(abortListener_, DEVICE_ASYNC, DEVICE_ASYNC_VERSION, dispatchAbort, nullptr);
  serving = this;
  thread_ = std::thread([this] { run(); });
  return true;
}

bool Vxi11Server::listenOn(const std::string& address, std::string& why) {
  for (__rpc_svcxprt** listener : {&coreListener_, &abortListener_}) {
    const int fd = listeningSocket(address, why);
    if (fd < 0) return false;
    *listener = svc_vc_create(fd, 0, 0);
    if (*listener == nullptr) {
      ::close(fd);
      why = "libtirpc could not serve " + address;
      return false;
    }
  }
  corePort_ = portOf(coreListener_->xp_fd);
  abortPort_ = portOf(abortListener_->xp_fd);
  return true;
}

// Only the core channel is registered: clients learn the abort channel's port from create_link.
bool Vxi11Server::claimRegistration(std::string& why) {
  std::string holder;
  switch (claimProgram(DEVICE_CORE, DEVICE_CORE_VERSION, coreListener_->xp_ltaddr, holder)) {
    case Claim::Claimed:
      if (!holder.empty())
        std::fprintf(stderr, "kestreld: VXI-11: took over the registration left at %s\n", holder.c_str());
      registered_ = true;
      return true;
    case Claim::NoPortmapper:
      why = "no portmapper (rpcbind) answers on this host";
      return false;
    case Claim::HeldElsewhere:
      why = "another server holds the host's VXI-11 registration (" + holder + ")";
      return false;
    case Claim::Refused:
      why = "the portmapper refused the registration: another server took it";
      return false;
  }
  return false;
}

void Vxi11Server::destroyListeners() {
  for (__rpc_svcxprt** listener : {&coreListener_, &abortListener_}) {
    if (*listener != nullptr) SVC_DESTROY(*listener);
    *listener = nullptr;
  }
}

void Vxi11Server::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  mailbox_->wake();
  thread_.join();
  mailbox_->close();
  if (registered_) releaseProgram(DEVICE_CORE, DEVICE_CORE_VERSION, coreListener_->xp_ltaddr);
  registered_ = false;
  destroyListeners();
  serving = nullptr;
}

// ---- the thread -----------------------------------------------------------------

void Vxi11Server::run() {
  while (!stopping_) {
    std::vector<pollfd> watched = watchList();
    if (::poll(watched.data(), watched.size(), pollTimeout()) < 0 && errno != EINTR) {
      std::fprintf(stderr, "kestreld: VXI-11: poll failed: %s\n", std::strerror(errno));
      break;
    }
    mailbox_->runAll();
    links_.expire(Clock::now());
    for (const pollfd& entry : watched) {
      if (entry.revents != 0 && entry.fd != mailbox_->fd()) serve(entry.fd, entry.revents);
    }
  }
  closeAll();
}

std::vector<pollfd> Vxi11Server::watchList() const {
  std::vector<pollfd> watched{{mailbox_->fd(), POLLIN, 0}};
  for (const auto& [fd, connection] : connections_) {
    // While its answer is owed a connection is only watched for hanging up:
    // its next call waits in the socket.
    watched.push_back({fd, static_cast<short>(connection.awaiting != 0 ? POLLRDHUP : POLLIN), 0});
  }
  // Listeners last: an accept may reuse the number of a connection closed
  // earlier in the same round, which must not be served as the old one.
  if (Clock::now() >= acceptPausedUntil_) {
    watched.push_back({coreListener_->xp_fd, POLLIN, 0});
    watched.push_back({abortListener_->xp_fd, POLLIN, 0});
  }
  return watched;
}

int Vxi11Server::pollTimeout() const {
  Clock::time_point next = Clock::now() + std::chrono::milliseconds(kIdlePollMs);
  if (const auto deadline = links_.nextDeadline()) next = std::min(next, *deadline);
  if (acceptPausedUntil_ > Clock::now()) next = std::min(next, acceptPausedUntil_);
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(wait, 0, kIdlePollMs));
}

void Vxi11Server::serve(int fd, short events) {
  if (fd == coreListener_->xp_fd || fd == abortListener_->xp_fd) {
    const size_t before = connections_.size();
    svc_getreq_common(fd);
    admitNewConnections(fd == coreListener_->xp_fd ? Channel::Core : Channel::Abort);
    // Readable yet nothing accepted: out of descriptors. Waiting beats spinning.
    if (connections_.size() == before) acceptPausedUntil_ = Clock::now() + kAcceptPause;
    return;
  }
  const auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  // The client hung up while an answer was owed: it is dropped when it comes.
  if (it->second.awaiting != 0 && (events & (POLLRDHUP | POLLHUP | POLLERR)) != 0) it->second.awaiting = 0;
  if (it->second.awaiting != 0) return;
  svc_getreq_common(fd);
  if (!registered(fd)) closed(fd);
}

// The door: who may connect, and whether there is room, is decided before
// libtirpc reads a call.
void Vxi11Server::admitNewConnections(Channel channel) {
  for (int i = 0; i < svc_max_pollfd; ++i) {
    const int fd = svc_pollfd[i].fd;
    if (fd < 0 || fd == coreListener_->xp_fd || fd == abortListener_->xp_fd || connections_.count(fd) != 0) continue;
    Connection& connection = connections_[fd];
    connection.fd = fd;
    connection.id = ++lastConnection_;
    connection.channel = channel;
    connection.address = peerAddress(fd);
    if (admit(connection)) continue;
    connection.refused = true;
    ::shutdown(fd, SHUT_RDWR);  // libtirpc closes it at its next read
  }
}

bool Vxi11Server::admit(Connection& connection) {
  const Refused refused = door_.admit(connection.address, connection.ticket);
  if (refused == Refused::None) return true;
  logRefusal(connection.address, refused);
  return false;
}

void Vxi11Server::closed(int fd) {
  const auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  const ConnectionId id = it->second.id;
  connections_.erase(it);
  links_.connectionClosed(id);
}

// Ends every connection, its links and their locks; libtirpc frees what it
// knows of each. A connection that never made a call is closed by libtirpc
// when it reads the end of the stream.
void Vxi11Server::closeAll() {
  serving = nullptr;
  for (auto& [fd, connection] : connections_) {
    links_.connectionClosed(connection.id);
    if (connection.xprt != nullptr) {
      SVC_DESTROY(connection.xprt);
      continue;
    }
    ::shutdown(fd, SHUT_RDWR);
    for (int attempt = 0; attempt < kClosingAttempts && registered(fd); ++attempt) svc_getreq_common(fd);
  }
  connections_.clear();
}

// ---- calls ------------------------------------------------------------------------

Vxi11Server::Connection* Vxi11Server::callerOf(SVCXPRT* xprt, Channel channel) {
  const auto it = connections_.find(xprt->xp_fd);
  if (it == connections_.end() || it->second.refused) return nullptr;
  Connection& connection = it->second;
  connection.xprt = xprt;
  if (connection.awaiting != 0) {
    // A second call before the answer to the first: no client of this protocol does that.
    connection.refused = true;
    ::shutdown(xprt->xp_fd, SHUT_RDWR);
    return nullptr;
  }
  if (connection.channel != channel) {
    svcerr_noprog(xprt);
    return nullptr;
  }
  return &connection;
}

void Vxi11Server::dispatchCore(svc_req* request, SVCXPRT* xprt) {
  if (serving == nullptr) return;
  if (Connection* connection = serving->callerOf(xprt, Channel::Core)) serving->serveCore(request, xprt, *connection);
}

void Vxi11Server::dispatchAbort(svc_req* request, SVCXPRT* xprt) {
  if (serving == nullptr) return;
  if (Connection* connection = serving->callerOf(xprt, Channel::Abort)) {
    serving->serveAbort(request, xprt, *connection);
  }
}

Vxi11Server::Ticket Vxi11Server::owe(Connection& connection) {
  connection.awaiting = ++lastSerial_;
  return {connection.fd, connection.id, connection.awaiting};
}

void Vxi11Server::answer(const Ticket& ticket, const std::function<bool(SVCXPRT*)>& send) {
  const auto it = connections_.find(ticket.fd);
  if (it == connections_.end() || it->second.id != ticket.id || it->second.awaiting != ticket.serial) return;
  it->second.awaiting = 0;
  // A reply that cannot be written leaves the stream unusable: libtirpc closes it at its next read.
  if (!send(it->second.xprt)) ::shutdown(ticket.fd, SHUT_RDWR);
}

void Vxi11Server::serveCore(svc_req* request, SVCXPRT* xprt, Connection& connection) {
  const Caller caller{connection.id, connection.address};
  switch (request->rq_proc) {
    case NULLPROC:
      svc_sendreply(xprt, kNoResult, nullptr);
      return;
    case create_link:
      return withArgs<Create_LinkParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Create_LinkParms), [&](auto& p) {
        const Ticket ticket = owe(connection);
        links_.createLink(caller, p.device != nullptr ? p.device : "", p.lockDevice != 0, p.lock_timeout,
                          [this, ticket](LinkCreated r) {
                            Create_LinkResp result{r.error, r.lid, abortPort_, r.maxRecvSize};
                            answer(ticket, [&](SVCXPRT* x) {
                              return sendReply(x, reinterpret_cast<xdrproc_t>(xdr_Create_LinkResp), result);
                            });
                          });
      });
    case device_write:
      return withArgs<Device_WriteParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_WriteParms), [&](auto& p) {
        const Ticket ticket = owe(connection);
        links_.write(caller, p.lid, {p.flags, p.lock_timeout, p.io_timeout},
                     std::string(p.data.data_val, p.data.data_len), [this, ticket](WriteDone r) {
                       Device_WriteResp result{r.error, r.size};
                       answer(ticket, [&](SVCXPRT* x) {
                         return sendReply(x, reinterpret_cast<xdrproc_t>(xdr_Device_WriteResp), result);
                       });
                     });
      });
    case device_read:
      return withArgs<Device_ReadParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_ReadParms), [&](auto& p) {
        const Ticket ticket = owe(connection);
        links_.read(caller, p.lid, {p.flags, p.lock_timeout, p.io_timeout}, p.requestSize, p.termChar,
                    [this, ticket](ReadDone r) {
                      Device_ReadResp result{r.error, r.reason, {static_cast<u_int>(r.data.size()), r.data.data()}};
                      answer(ticket, [&](SVCXPRT* x) {
                        return sendReply(x, reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), result);
                      });
                    });
      });
    case device_readstb:
      return withArgs<Device_GenericParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms), [&](auto& p) {
        const Ticket ticket = owe(connection);
        links_.readStatusByte(caller, p.lid, optionsOf(p), [this, ticket](StatusByteRead r) {
          Device_ReadStbResp result{r.error, r.stb};
          answer(ticket,
                 [&](SVCXPRT* x) { return sendReply(x, reinterpret_cast<xdrproc_t>(xdr_Device_ReadStbResp), result); });
        });
      });
    case device_trigger:
    case device_clear:
    case device_remote:
    case device_local:
      return serveGeneric(request->rq_proc, xprt, connection);
    case device_lock:
      return withArgs<Device_LockParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_LockParms), [&](auto& p) {
        const Ticket ticket = owe(connection);
        links_.lock(caller, p.lid, {p.flags, p.lock_timeout, 0},
                    [this, ticket](int32_t error) { answerError(ticket, error); });
      });
    case device_unlock:
      return withArgs<Device_Link>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_Link),
                                   [&](auto& lid) { replyError(xprt, links_.unlock(caller, lid)); });
    case destroy_link:
      return withArgs<Device_Link>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_Link),
                                   [&](auto& lid) { replyError(xprt, links_.destroyLink(caller, lid)); });
    default:
      return serveUnsupported(request->rq_proc, xprt);
  }
}

void Vxi11Server::serveGeneric(unsigned long procedure, SVCXPRT* xprt, Connection& connection) {
  const GenericCall call = procedure == device_trigger  ? GenericCall::Trigger
                           : procedure == device_clear  ? GenericCall::Clear
                           : procedure == device_remote ? GenericCall::Remote
                                                        : GenericCall::Local;
  withArgs<Device_GenericParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_GenericParms), [&](auto& p) {
    const Ticket ticket = owe(connection);
    links_.generic({connection.id, connection.address}, p.lid, call, optionsOf(p),
                   [this, ticket](int32_t error) { answerError(ticket, error); });
  });
}

// Service requests and commands beyond 488.2 messages: the board has none.
void Vxi11Server::serveUnsupported(unsigned long procedure, SVCXPRT* xprt) {
  switch (procedure) {
    case device_enable_srq:
      return withArgs<Device_EnableSrqParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_EnableSrqParms),
                                             [&](auto&) { replyError(xprt, kOperationNotSupported); });
    case device_docmd:
      return withArgs<Device_DocmdParms>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_DocmdParms), [&](auto&) {
        Device_DocmdResp result{kOperationNotSupported, {0, nullptr}};
        sendReply(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_DocmdResp), result);
      });
    case create_intr_chan:
      return withArgs<Device_RemoteFunc>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_RemoteFunc),
                                         [&](auto&) { replyError(xprt, kOperationNotSupported); });
    case destroy_intr_chan:
      return replyError(xprt, kChannelNotEstablished);
    default:
      svcerr_noproc(xprt);
  }
}

void Vxi11Server::answerError(const Ticket& ticket, int32_t error) {
  answer(ticket, [error](SVCXPRT* x) {
    Device_Error result{error};
    return sendReply(x, reinterpret_cast<xdrproc_t>(xdr_Device_Error), result);
  });
}

void Vxi11Server::serveAbort(svc_req* request, SVCXPRT* xprt, Connection& connection) {
  switch (request->rq_proc) {
    case NULLPROC:
      svc_sendreply(xprt, kNoResult, nullptr);
      return;
    case device_abort:
      return withArgs<Device_Link>(xprt, reinterpret_cast<xdrproc_t>(xdr_Device_Link), [&](auto& lid) {
        replyError(xprt, links_.abort({connection.id, connection.address}, lid));
      });
    default:
      svcerr_noproc(xprt);
  }
}

}  // namespace kestreld::vxi11
