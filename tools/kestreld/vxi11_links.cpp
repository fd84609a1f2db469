#include "vxi11_links.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>

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
  link.session = std::make_shared<Session>(tree_);
  return link;
}

void LinkTable::remove(LinkId lid) {
  const auto it = links_.find(lid);
  if (it == links_.end()) return;
  BoardWorker* board = it->second.board;
  it->second.session->gone = true;  // its queued job, if any, does nothing
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
        return done(kOperationNotSupported), std::nullopt;  // the board has no trigger
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
    link.queued.push_back(std::move(link.input));
  }
  link.input.clear();
  link.discarding = false;
}

// As on the raw socket: a message above the limit is dropped up to its end, with -363.
void LinkTable::overrun(Link& link) {
  link.input.clear();
  link.discarding = true;
  link.board->post([session = link.session](BoardWorker&) {
    if (!session->gone) session->client.pushError(scpi::kInputBufferOverrun);
  });
}

void LinkTable::runNext(Link& link) {
  if (link.running || link.queued.empty() || link.outputBytes > limits_.maxOutput) return;
  std::string message = std::move(link.queued.front());
  link.queued.pop_front();
  link.queuedBytes -= message.size();
  link.running = true;
  const uint64_t generation = link.session->generation;
  link.board->post([this, lid = link.id, session = link.session, generation, post = post_,
                    message = std::move(message)](BoardWorker& board) {
    if (session->gone || session->generation != generation) return;
    const uint64_t errorsBefore = session->client.errorsPushed();
    std::string answer = session->client.execute(message, board);
    board.stats().countRequest(Face::Scpi, session->client.errorsPushed() != errorsBefore);
    post([this, lid, generation, answer = std::move(answer)]() mutable {
      messageDone(lid, generation, std::move(answer));
    });
  });
}

void LinkTable::askStatusByte(Link& link, std::shared_ptr<std::optional<uint8_t>> answer) {
  link.board->post([this, lid = link.id, session = link.session, post = post_, answer](BoardWorker& board) {
    if (session->gone) return;
    const auto stb = static_cast<uint8_t>(std::atoi(session->client.execute("*STB?", board).c_str()));
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
// the answer of a message on the worker now is dropped when it comes.
void LinkTable::clear(Link& link) {
  ++link.session->generation;
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
