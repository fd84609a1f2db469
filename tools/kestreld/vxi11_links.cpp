#include "vxi11_links.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>

#include <asio.hpp>

#include "board_lock.h"
#include "board_worker.h"
#include "scpi_errors.h"

namespace kestreld::vxi11 {

namespace {

constexpr uint8_t kMessageAvailable = 0x10;  // status byte bit 4: an answer waits to be read

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

Clock::duration milliseconds(uint32_t ms) { return std::chrono::milliseconds(ms); }

// One message on the board's thread: its answer, "" when it asked nothing.
// An answer beyond the session's limit is dropped, and says so in the queue.
std::string run(ClientSession& client, const std::string& text, BoardWorker& board, Clock::time_point askedAt) {
  const uint64_t errorsBefore = client.errorsPushed();
  std::string answer = client.execute(text, board, askedAt);
  if (client.answerOverflowed()) {
    client.pushError(scpi::kTooMuchData, "the answer outgrew what a link keeps: it was dropped");
  }
  board.stats().countRequest(Face::Scpi, client.errorsPushed() != errorsBefore);
  return answer;
}

}  // namespace

LinkTable::LinkTable(std::vector<BoardWorker*> boards, const CommandTree& tree, Post post, LinkLimits limits)
    : boards_(std::move(boards)), tree_(tree), post_(std::move(post)), limits_(limits) {}

LinkTable::~LinkTable() {
  while (!links_.empty()) remove(links_.begin()->first);
}

// ---- links ----------------------------------------------------------------------

LinkTable::Link* LinkTable::owned(const Caller& caller, LinkId lid) {
  const auto it = links_.find(lid);
  if (it == links_.end() || it->second.owner.connection != caller.connection) return nullptr;
  return &it->second;
}

BoardWorker* LinkTable::deviceNamed(const std::string& device) const {
  const std::string wanted = lowerCase(device);
  for (size_t i = 0; i < boards_.size(); ++i) {
    if (wanted == "inst" + std::to_string(i) || wanted == lowerCase(boards_[i]->name())) return boards_[i];
  }
  return nullptr;
}

size_t LinkTable::linksOf(const std::string& address) const {
  return static_cast<size_t>(std::count_if(links_.begin(), links_.end(),
                                           [&](const auto& entry) { return entry.second.owner.address == address; }));
}

LinkTable::Link& LinkTable::add(const Caller& caller, BoardWorker* board) {
  // Ids stay positive on the wire and are never 0, which the lock reads as nobody.
  do {
    lastId_ = lastId_ == std::numeric_limits<LinkId>::max() ? 1 : lastId_ + 1;
  } while (links_.count(lastId_) != 0);
  Link& link = links_[lastId_];
  link.id = lastId_;
  link.owner = caller;
  link.board = board;
  link.session = std::make_shared<Session>(tree_, limits_.maxOutput);
  return link;
}

void LinkTable::remove(LinkId lid) {
  const auto it = links_.find(lid);
  if (it == links_.end()) return;
  BoardWorker* board = it->second.board;
  // Its queued message never runs, its running one stops before its next command.
  it->second.session->gone = true;
  it->second.session->client->abandon();
  if (it->second.line) it->second.line->withdraw();
  links_.erase(it);
  if (board->lock().release(static_cast<BoardLock::Owner>(lid))) retryBoard(board);
}

LinkTable::Access LinkTable::access(const Link& link, int32_t flags) const {
  if (!link.board->lock().heldByOther(static_cast<BoardLock::Owner>(link.id))) return Access::Granted;
  return (flags & kWaitLock) != 0 ? Access::Wait : Access::Refused;
}

// ---- calls that wait ------------------------------------------------------------

void LinkTable::start(Link& link, const CallOptions& options, Fail fail, Attempt attempt) {
  const std::optional<Wait> wait = attempt(link);
  if (!wait) return;
  Pending& pending = link.pending.emplace();
  pending.attempt = std::move(attempt);
  pending.fail = std::move(fail);
  pending.options = options;
  arm(pending, *wait);
}

void LinkTable::startGated(Link& link, const CallOptions& options, Fail fail, Attempt attempt) {
  Attempt gated = [this, flags = options.flags, fail, attempt = std::move(attempt)](Link& l) -> std::optional<Wait> {
    switch (access(l, flags)) {
      case Access::Wait:
        return Wait::Lock;
      case Access::Refused:
        fail(kDeviceLocked);
        return std::nullopt;
      case Access::Granted:
        break;
    }
    return attempt(l);
  };
  start(link, options, std::move(fail), std::move(gated));
}

// The time-out starts when the call begins to wait for something new.
void LinkTable::arm(Pending& pending, Wait wait) {
  pending.waiting = wait;
  const uint32_t ms = wait == Wait::Lock ? pending.options.lockTimeoutMs : pending.options.ioTimeoutMs;
  pending.deadline = Clock::now() + milliseconds(ms);
}

void LinkTable::retry(LinkId lid) {
  const auto it = links_.find(lid);
  if (it == links_.end() || !it->second.pending) return;
  // Out of the link first: the attempt may answer, and answering ends it.
  Pending pending = std::move(*it->second.pending);
  it->second.pending.reset();
  const std::optional<Wait> wait = pending.attempt(it->second);
  if (!wait) return;
  const auto still = links_.find(lid);
  if (still == links_.end()) return;
  if (*wait != pending.waiting) arm(pending, *wait);
  still->second.pending = std::move(pending);
}

void LinkTable::retryBoard(const BoardWorker* board) {
  std::vector<LinkId> waiting;
  for (const auto& [lid, link] : links_) {
    if (link.board == board && link.pending) waiting.push_back(lid);
  }
  for (LinkId lid : waiting) retry(lid);
}

std::optional<Clock::time_point> LinkTable::nextDeadline() const {
  std::optional<Clock::time_point> next;
  for (const auto& [lid, link] : links_) {
    if (link.pending && (!next || link.pending->deadline < *next)) next = link.pending->deadline;
  }
  return next;
}

void LinkTable::expire(Clock::time_point now) {
  std::vector<LinkId> due;
  for (const auto& [lid, link] : links_) {
    if (link.pending && link.pending->deadline <= now) due.push_back(lid);
  }
  for (LinkId lid : due) {
    const auto it = links_.find(lid);
    if (it == links_.end() || !it->second.pending) continue;
    Pending pending = std::move(*it->second.pending);
    it->second.pending.reset();
    pending.fail(pending.waiting == Wait::Lock ? kDeviceLocked : kIoTimeout);
  }
}

// ---- the calls ------------------------------------------------------------------

void LinkTable::createLink(const Caller& caller, const std::string& device, bool lockDevice, uint32_t lockTimeoutMs,
                           Done<LinkCreated> done) {
  BoardWorker* board = deviceNamed(device);
  if (board == nullptr) return done({kDeviceNotAccessible, 0, 0});
  if (links_.size() >= limits_.links || linksOf(caller.address) >= limits_.linksPerClient) {
    return done({kOutOfResources, 0, 0});
  }
  Link& link = add(caller, board);
  const LinkId lid = link.id;
  if (!lockDevice) return done({kNoError, lid, limits_.maxRecvSize});
  // A link that cannot have its lock in time is not made.
  Fail fail = [this, lid, done](int32_t error) {
    remove(lid);
    done({error, 0, 0});
  };
  Attempt attempt = [this, done](Link& l) -> std::optional<Wait> {
    if (!l.board->lock().tryAcquire(static_cast<BoardLock::Owner>(l.id))) return Wait::Lock;
    done({kNoError, l.id, limits_.maxRecvSize});
    return std::nullopt;
  };
  start(link, {kWaitLock, lockTimeoutMs, 0}, std::move(fail), std::move(attempt));
}

void LinkTable::write(const Caller& caller, LinkId lid, const CallOptions& options, std::string data,
                      Done<WriteDone> done) {
  Link* link = owned(caller, lid);
  if (link == nullptr) return done({kInvalidLinkId, 0});
  if (data.size() > limits_.maxRecvSize) return done({kParameterError, 0});
  Attempt attempt = [this, end = (options.flags & kEndFlag) != 0, data = std::move(data),
                     done](Link& l) -> std::optional<Wait> {
    // Messages that have not run yet hold the next ones back, as a full input buffer would.
    if (l.queuedBytes > limits_.maxInput) return Wait::Io;
    take(l, data, end);
    done({kNoError, static_cast<uint32_t>(data.size())});
    return std::nullopt;
  };
  startGated(
      *link, options,
      [done](int32_t error) {
        done({error, 0});
      },
      std::move(attempt));
}

void LinkTable::read(const Caller& caller, LinkId lid, const CallOptions& options, uint32_t requestSize, char termChar,
                     Done<ReadDone> done) {
  Link* link = owned(caller, lid);
  if (link == nullptr) return done({kInvalidLinkId, 0, {}});
  std::optional<char> terminator;
  if ((options.flags & kTermCharSet) != 0) terminator = termChar;
  Attempt attempt = [this, requestSize, terminator, done](Link& l) -> std::optional<Wait> {
    if (l.output.empty()) {
      if (l.running || !l.queued.empty()) return Wait::Io;
      // Nothing runs that could answer: waiting out the time-out would change nothing.
      done({kIoTimeout, 0, {}});
      return std::nullopt;
    }
    done(takeOutput(l, requestSize, terminator));
    runNext(l);  // room in the output may let a held message run
    return std::nullopt;
  };
  startGated(
      *link, options,
      [done](int32_t error) {
        done({error, 0, {}});
      },
      std::move(attempt));
}

void LinkTable::readStatusByte(const Caller& caller, LinkId lid, const CallOptions& options,
                               Done<StatusByteRead> done) {
  Link* link = owned(caller, lid);
  if (link == nullptr) return done({kInvalidLinkId, 0});
  auto answer = std::make_shared<std::optional<uint8_t>>();
  auto asked = std::make_shared<bool>(false);
  Attempt attempt = [this, answer, asked, done](Link& l) -> std::optional<Wait> {
    if (!*asked) {
      // After the messages written before it, as their errors and answers stand.
      if (l.running) return Wait::Io;
      *asked = true;
      askStatusByte(l, answer);
    }
    if (!*answer) return Wait::Io;
    done({kNoError, static_cast<uint8_t>(**answer | (l.output.empty() ? 0 : kMessageAvailable))});
    return std::nullopt;
  };
  startGated(
      *link, options,
      [done](int32_t error) {
        done({error, 0});
      },
      std::move(attempt));
}

void LinkTable::generic(const Caller& caller, LinkId lid, GenericCall call, const CallOptions& options,
                        Done<int32_t> done) {
  Link* link = owned(caller, lid);
  if (link == nullptr) return done(kInvalidLinkId);
  Attempt attempt = [this, call, done](Link& l) -> std::optional<Wait> {
    switch (call) {
      case GenericCall::Clear:
        clear(l);
        return done(kNoError), std::nullopt;
      case GenericCall::Trigger:
        trigger(l);
        return done(kNoError), std::nullopt;
      case GenericCall::Remote:
      case GenericCall::Local:
        return done(kNoError), std::nullopt;  // no front panel to lock out
    }
    return std::nullopt;
  };
  startGated(*link, options, done, std::move(attempt));
}

void LinkTable::lock(const Caller& caller, LinkId lid, const CallOptions& options, Done<int32_t> done) {
  Link* link = owned(caller, lid);
  if (link == nullptr) return done(kInvalidLinkId);
  Attempt attempt = [waits = (options.flags & kWaitLock) != 0, done](Link& l) -> std::optional<Wait> {
    const auto self = static_cast<BoardLock::Owner>(l.id);
    if (l.board->lock().owner() == self || l.board->lock().tryAcquire(self)) return done(kNoError), std::nullopt;
    if (waits) return Wait::Lock;
    return done(kDeviceLocked), std::nullopt;
  };
  start(*link, options, done, std::move(attempt));
}

int32_t LinkTable::unlock(const Caller& caller, LinkId lid) {
  Link* link = owned(caller, lid);
  if (link == nullptr) return kInvalidLinkId;
  if (!link->board->lock().release(static_cast<BoardLock::Owner>(lid))) return kNoLockHeld;
  retryBoard(link->board);
  return kNoError;
}

int32_t LinkTable::destroyLink(const Caller& caller, LinkId lid) {
  if (owned(caller, lid) == nullptr) return kInvalidLinkId;
  remove(lid);
  return kNoError;
}

int32_t LinkTable::abort(const Caller& caller, LinkId lid) {
  const auto it = links_.find(lid);
  if (it == links_.end() || it->second.owner.address != caller.address) return kInvalidLinkId;
  Link& link = it->second;
  clear(link);
  if (link.pending) {
    Pending pending = std::move(*link.pending);
    link.pending.reset();
    pending.fail(kAbort);
  }
  return kNoError;
}

void LinkTable::connectionClosed(ConnectionId connection) {
  std::vector<LinkId> gone;
  for (const auto& [lid, link] : links_) {
    if (link.owner.connection == connection) gone.push_back(lid);
  }
  for (LinkId lid : gone) remove(lid);
}

// ---- messages -------------------------------------------------------------------

// A message ends at a newline or where the client set END, whichever comes first.
void LinkTable::take(Link& link, std::string_view data, bool end) {
  while (!data.empty()) {
    const size_t newline = data.find('\n');
    if (!link.discarding) link.input.append(data.substr(0, newline));
    if (newline == std::string_view::npos) break;
    endMessage(link);
    data.remove_prefix(newline + 1);
  }
  if (link.input.size() > limits_.maxInput) overrun(link);
  if (end) endMessage(link);
  runNext(link);
}

void LinkTable::endMessage(Link& link) {
  if (!link.discarding && !isBlank(link.input)) {
    link.queuedBytes += link.input.size();
    link.queued.push_back({std::move(link.input), false});
  }
  link.input.clear();
  link.discarding = false;
}

// As on the raw socket: a message above the limit is dropped up to its end,
// with -363 among the link's errors where the message would have run.
void LinkTable::overrun(Link& link) {
  link.input.clear();
  link.discarding = true;
  link.queued.push_back({{}, true});
}

// A device trigger is *TRG (a run armed with TRIG:SOUR BUS starts), as the
// link's next message in order with its others; an error it gives is the
// link's, as for *TRG.
void LinkTable::trigger(Link& link) {
  static constexpr std::string_view kTriggerMessage = "*TRG";
  link.queuedBytes += kTriggerMessage.size();
  link.queued.push_back({std::string(kTriggerMessage), false});
  runNext(link);
}

void LinkTable::runNext(Link& link) {
  if (link.running || link.queued.empty() || link.outputBytes > limits_.maxOutput) return;
  Message message = std::move(link.queued.front());
  link.queued.pop_front();
  link.queuedBytes -= message.text.size();
  link.running = true;
  link.line = std::make_shared<JobControl>();
  hand(link, std::move(message));
}

// The message goes to the board's thread as a socket line would: there it
// is asked at the time that thread saw it, and waits in the board's bounded
// queue (a full queue refuses it with -350). Its answer comes back to ours.
void LinkTable::hand(Link& link, Message message) {
  BoardWorker& board = *link.board;
  auto answer = [this, post = post_, lid = link.id, generation = link.session->generation.load()](std::string text) {
    post([this, lid, generation, text = std::move(text)]() mutable { messageDone(lid, generation, std::move(text)); });
  };
  asio::post(board.io(), [&board, session = link.session, control = link.line, message = std::move(message),
                          answer = std::move(answer)]() mutable {
    if (session->gone) return;
    if (message.overran) {
      session->client->pushError(scpi::kInputBufferOverrun);
      return answer({});
    }
    const auto askedAt = board.arrivedAfter();
    const bool queued = board.post(
        [session, text = std::move(message.text), askedAt, answer](BoardWorker& b) {
          if (session->gone) return;
          answer(run(*session->client, text, b, askedAt));
        },
        control);
    if (queued) return;
    session->client->pushError(scpi::kQueueOverflow, "the board's job queue is full: the message was not run");
    answer({});
  });
}

void LinkTable::askStatusByte(Link& link, std::shared_ptr<std::optional<uint8_t>> answer) {
  // The status byte is the session's own: read on the board's thread, outside its queue.
  asio::post(link.board->io(), [this, lid = link.id, session = link.session, post = post_, answer] {
    if (session->gone) return;
    const uint8_t stb = session->client->statusByte();
    post([this, lid, answer, stb] {
      *answer = stb;
      retry(lid);
    });
  });
}

void LinkTable::messageDone(LinkId lid, uint64_t generation, std::string answer) {
  const auto it = links_.find(lid);
  if (it == links_.end() || it->second.session->generation != generation) return;
  Link& link = it->second;
  link.running = false;
  link.line.reset();
  if (!answer.empty()) {
    answer += '\n';
    link.outputBytes += answer.size();
    link.output.push_back(std::move(answer));
  }
  runNext(link);
  retry(lid);
}

ReadDone LinkTable::takeOutput(Link& link, uint32_t requestSize, std::optional<char> termChar) {
  const std::string& first = link.output.front();
  size_t count = std::min<size_t>(first.size() - link.outputOffset, requestSize);
  ReadDone result;
  if (termChar) {
    const size_t at = first.find(*termChar, link.outputOffset);
    if (at != std::string::npos && at < link.outputOffset + count) {
      count = at - link.outputOffset + 1;
      result.reason |= kReasonTermChar;
    }
  }
  if (count == requestSize) result.reason |= kReasonRequestCount;
  result.data = first.substr(link.outputOffset, count);
  link.outputOffset += count;
  if (link.outputOffset == first.size()) {
    result.reason |= kReasonEnd;
    link.outputBytes -= first.size();
    link.outputOffset = 0;
    link.output.pop_front();
  }
  return result;
}

// A device clear: what the link received, queued and has not read is gone;
// a message waiting in the board's queue is withdrawn, and the answer of one
// running now is dropped when it comes.
void LinkTable::clear(Link& link) {
  ++link.session->generation;
  if (link.line) link.line->withdraw();
  link.line.reset();
  link.input.clear();
  link.discarding = false;
  link.queued.clear();
  link.queuedBytes = 0;
  link.running = false;
  link.output.clear();
  link.outputOffset = 0;
  link.outputBytes = 0;
}

}  // namespace kestreld::vxi11
