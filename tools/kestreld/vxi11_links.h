// VXI-11 links, free of RPC: what each call of the core and abort channels
// does to a link, to its board's lock and to the messages it runs. A link is
// one SCPI client of one board (its own ClientSession, error queue and status
// registers) whose program messages take the raw socket's road: handed to the
// board's thread, where each waits its turn in the board's bounded queue and
// runs under the same line budget as a socket line. Every call answers
// through its `done` callback, at once or later (when the board has
// answered, the lock came free or a time-out ran out), always on the table's
// own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scpi_session.h"

namespace kestreld {

class BoardWorker;
class JobControl;

namespace vxi11 {

// The protocol's error numbers.
enum Error : int32_t {
  kNoError = 0,
  kSyntaxError = 1,
  kDeviceNotAccessible = 3,
  kInvalidLinkId = 4,
  kParameterError = 5,
  kChannelNotEstablished = 6,
  kOperationNotSupported = 8,
  kOutOfResources = 9,
  kDeviceLocked = 11,
  kNoLockHeld = 12,
  kIoTimeout = 15,
  kAbort = 23,
};

// Flags of a call, and the reasons a device_read ends.
constexpr int32_t kWaitLock = 0x01;
constexpr int32_t kEndFlag = 0x08;
constexpr int32_t kTermCharSet = 0x80;
constexpr int32_t kReasonRequestCount = 1;
constexpr int32_t kReasonTermChar = 2;
constexpr int32_t kReasonEnd = 4;

using Clock = std::chrono::steady_clock;
using ConnectionId = uint64_t;
using LinkId = int32_t;

// Who makes a call: the connection it came on and the client's address.
struct Caller {
  ConnectionId connection = 0;
  std::string address;
};

// The time limits and flags that come with most calls.
struct CallOptions {
  int32_t flags = 0;
  uint32_t lockTimeoutMs = 0;
  uint32_t ioTimeoutMs = 0;
};

struct LinkCreated {
  int32_t error = kNoError;
  LinkId lid = 0;
  uint32_t maxRecvSize = 0;
};

struct WriteDone {
  int32_t error = kNoError;
  uint32_t size = 0;
};

struct ReadDone {
  int32_t error = kNoError;
  int32_t reason = 0;
  std::string data;
};

struct StatusByteRead {
  int32_t error = kNoError;
  uint8_t stb = 0;
};

// device_trigger, device_clear, device_remote and device_local share their arguments.
enum class GenericCall { Trigger, Clear, Remote, Local };

// What one client, and all of them, may hold.
struct LinkLimits {
  size_t linksPerClient = 16;
  size_t links = 64;
  uint32_t maxRecvSize = 64 * 1024;  // the largest device_write taken, as create_link tells the client
  size_t maxInput = 64 * 1024;       // a link's messages not yet run, as a SCPI line
  size_t maxOutput = 1024 * 1024;    // a link's unread answers (past it, its messages wait), and one message's
};

class LinkTable {
 public:
  template <typename Result>
  using Done = std::function<void(Result)>;
  // Runs a function on the table's thread; called from the board workers.
  using Post = std::function<void(std::function<void()>)>;

  // Device names: "inst0", "inst1", ... in the order of `boards`, and each board's name.
  LinkTable(std::vector<BoardWorker*> boards, const CommandTree& tree, Post post, LinkLimits limits = {});
  ~LinkTable();
  LinkTable(const LinkTable&) = delete;
  LinkTable& operator=(const LinkTable&) = delete;

  void createLink(const Caller& caller, const std::string& device, bool lockDevice, uint32_t lockTimeoutMs,
                  Done<LinkCreated> done);
  void write(const Caller& caller, LinkId lid, const CallOptions& options, std::string data, Done<WriteDone> done);
  void read(const Caller& caller, LinkId lid, const CallOptions& options, uint32_t requestSize, char termChar,
            Done<ReadDone> done);
  void readStatusByte(const Caller& caller, LinkId lid, const CallOptions& options, Done<StatusByteRead> done);
  void generic(const Caller& caller, LinkId lid, GenericCall call, const CallOptions& options, Done<int32_t> done);
  void lock(const Caller& caller, LinkId lid, const CallOptions& options, Done<int32_t> done);
  int32_t unlock(const Caller& caller, LinkId lid);
  int32_t destroyLink(const Caller& caller, LinkId lid);
  // From the abort channel, which is another connection of the same client:
  // the link's call in progress ends with kAbort and its queued work is dropped.
  int32_t abort(const Caller& caller, LinkId lid);
  // The connection is gone: its links, their locks and their work with it.
  void connectionClosed(ConnectionId connection);

  // When the next waiting call times out, and ending those whose time is up.
  std::optional<Clock::time_point> nextDeadline() const;
  void expire(Clock::time_point now);

  size_t size() const { return links_.size(); }
  const LinkLimits& limits() const { return limits_; }

 private:
  // What a waiting call waits for, and so which time-out ends it.
  enum class Wait { Lock, Io };
  enum class Access { Granted, Wait, Refused };
  struct Link;

  // The board's side of a link: its client is touched on the board's thread
  // only, and outlives the link while a job still holds it.
  struct Session {
    Session(const CommandTree& tree, size_t maxAnswer) : client(std::make_shared<ClientSession>(tree, maxAnswer)) {}
    // Shared, so that a sweep the link starts can still report to it (or find it gone).
    std::shared_ptr<ClientSession> client;
    std::atomic<bool> gone{false};
    std::atomic<uint64_t> generation{0};  // a device clear or abort drops the answers of older messages
  };

  // A whole message not yet run, or the mark of one dropped for its length,
  // whose error takes its place in the order of the link's messages.
  struct Message {
    std::string text;
    bool overran = false;
  };

  // Tries to finish a call on its link: nullopt when it answered, else what it waits for.
  using Attempt = std::function<std::optional<Wait>(Link&)>;
  // Answers a call with an error.
  using Fail = std::function<void(int32_t)>;

  // A call that could not finish at once: tried again whenever its link or
  // its board's lock changes, ended by its time-out, an abort or the link's end.
  struct Pending {
    Attempt attempt;
    Fail fail;
    CallOptions options;
    Wait waiting = Wait::Io;
    Clock::time_point deadline;
  };

  struct Link {
    LinkId id = 0;
    Caller owner;
    BoardWorker* board = nullptr;
    std::shared_ptr<Session> session;
    std::string input;           // the message being received
    bool discarding = false;     // after an overrun, until the message ends
    std::deque<Message> queued;  // whole messages not yet run
    size_t queuedBytes = 0;
    bool running = false;              // a message is on its way to the board, queued there or running
    std::shared_ptr<JobControl> line;  // that message's place in the board's queue
    std::deque<std::string> output;    // answers, each ending in a newline
    size_t outputOffset = 0;           // read so far of the first
    size_t outputBytes = 0;
    std::optional<Pending> pending;
  };

  Link* owned(const Caller& caller, LinkId lid);
  BoardWorker* deviceNamed(const std::string& device) const;
  size_t linksOf(const std::string& address) const;
  Link& add(const Caller& caller, BoardWorker* board);
  void remove(LinkId lid);
  Access access(const Link& link, int32_t flags) const;

  // Runs a call now, or keeps it waiting on its link; `gated` calls first
  // wait for the board's lock (or are refused it).
  void start(Link& link, const CallOptions& options, Fail fail, Attempt attempt);
  void startGated(Link& link, const CallOptions& options, Fail fail, Attempt attempt);
  void arm(Pending& pending, Wait wait);
  void retry(LinkId lid);
  void retryBoard(const BoardWorker* board);

  void take(Link& link, std::string_view data, bool end);
  void endMessage(Link& link);
  void overrun(Link& link);
  void trigger(Link& link);
  void runNext(Link& link);
  void hand(Link& link, Message message);
  void askStatusByte(Link& link, std::shared_ptr<std::optional<uint8_t>> answer);
  void messageDone(LinkId lid, uint64_t generation, std::string answer);
  ReadDone takeOutput(Link& link, uint32_t requestSize, std::optional<char> termChar);
  void clear(Link& link);

  std::vector<BoardWorker*> boards_;
  const CommandTree& tree_;
  Post post_;
  LinkLimits limits_;
  std::map<LinkId, Link> links_;
  LinkId lastId_ = 0;
};

}  // namespace vxi11
}  // namespace kestreld
