// VXI-11 links without RPC: device names, the limits on links, messages and
// their answers (END, request count, termination character), the board's
// queue they share with the socket's lines, the board's lock between links,
// device clear, abort, and what a closed connection frees. A real worker whose board is not there (the messages used need
// none); the table's thread is the test's own, which runs what the worker
// hands back.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "board_lock.h"
#include "board_worker.h"
#include "vxi11_links.h"

namespace kestreld::vxi11 {
namespace {

using namespace std::chrono_literals;

const Caller kAlice{1, "127.0.0.1"};
const Caller kBob{2, "127.0.0.2"};
const CallOptions kNow{kEndFlag, 0, 10000};
const CallOptions kWaitForLock{kEndFlag | kWaitLock, 60000, 10000};

// Functions the worker hands to the table's thread, run when the test says.
class TableThread {
 public:
  LinkTable::Post post() {
    return [this](std::function<void()> fn) {
      std::lock_guard guard(mutex_);
      queue_.push_back(std::move(fn));
      ready_.notify_one();
    };
  }

  // Runs handed-back functions until `done` holds (10 s at most).
  template <typename Predicate>
  bool runUntil(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      std::unique_lock lock(mutex_);
      if (!ready_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return false;
      auto fn = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      fn();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
};

class LinkTableTest : public ::testing::Test {
 protected:
  // Nothing listens where the board would be: every connect is refused at once.
  static void SetUpTestSuite() {
    std::mt19937 random(std::random_device{}());
    const std::string address = "127.202." + std::to_string(random() % 256) + "." + std::to_string(1 + random() % 254);
    board_ = std::make_unique<BoardWorker>("bench", address);
    board_->start();
  }
  static void TearDownTestSuite() { board_.reset(); }

  explicit LinkTableTest(LinkLimits limits = {}) : table_({board_.get()}, commandTree(), thread_.post(), limits) {}

  LinkId open(const Caller& caller = kAlice) {
    LinkId lid = 0;
    table_.createLink(caller, "inst0", false, 0, [&](LinkCreated r) {
      EXPECT_EQ(r.error, kNoError);
      lid = r.lid;
    });
    return lid;
  }

  void TearDown() override {
    // Whatever the worker still runs for this test hands back before the table goes.
    board_->submit([](BoardWorker&) {}).result.wait();
  }

  // The write's answer when it came at once, else -1 (the call waits; its answer is dropped).
  int32_t write(LinkId lid, const std::string& text, const CallOptions& options = kNow, const Caller& caller = kAlice) {
    auto error = std::make_shared<int32_t>(-1);
    table_.write(caller, lid, options, text, [error](WriteDone r) { *error = r.error; });
    return *error;
  }

  // The next read's answer, once the board has given it.
  ReadDone read(LinkId lid, uint32_t requestSize = 1024, CallOptions options = kNow, char termChar = 0,
                const Caller& caller = kAlice) {
    std::optional<ReadDone> result;
    table_.read(caller, lid, options, requestSize, termChar, [&](ReadDone r) { result = std::move(r); });
    EXPECT_TRUE(thread_.runUntil([&] { return result.has_value(); }));
    return result.value_or(ReadDone{-1, 0, {}});
  }

  std::string query(LinkId lid, const std::string& text, const Caller& caller = kAlice) {
    EXPECT_EQ(write(lid, text + "\n", kNow, caller), kNoError);
    return read(lid, 1024, kNow, 0, caller).data;
  }

  // The lock's answer when it came at once; `later` gets it when it comes later.
  std::optional<int32_t> lock(LinkId lid, const CallOptions& options, const Caller& caller = kAlice,
                              std::shared_ptr<std::optional<int32_t>> later = nullptr) {
    if (!later) later = std::make_shared<std::optional<int32_t>>();
    table_.lock(caller, lid, options, [later](int32_t e) { *later = e; });
    return *later;
  }

  static inline std::unique_ptr<BoardWorker> board_;
  TableThread thread_;
  LinkTable table_;
};

TEST_F(LinkTableTest, DevicesAreNamedByIndexAndByBoardName) {
  const std::pair<const char*, int32_t> cases[] = {{"inst0", kNoError},
                                                   {"INST0", kNoError},
                                                   {"bench", kNoError},
                                                   {"Bench", kNoError},
                                                   {"inst1", kDeviceNotAccessible},
                                                   {"spare", kDeviceNotAccessible},
                                                   {"", kDeviceNotAccessible}};
  for (const auto& [device, expected] : cases) {
    int32_t error = -1;
    table_.createLink(kAlice, device, false, 0, [&](LinkCreated r) {
      error = r.error;
      if (r.error == kNoError) {
        EXPECT_EQ(r.maxRecvSize, table_.limits().maxRecvSize);
      }
    });
    EXPECT_EQ(error, expected) << device;
  }
  EXPECT_EQ(table_.size(), 4u);
}

TEST_F(LinkTableTest, QueriesAnswerWithEndAndKeepTheirOwnErrorQueue) {
  const LinkId alice = open();
  const LinkId bob = open(kBob);
  EXPECT_EQ(query(alice, "SYST:VERS?"), "1999.0\n");
  // Two messages in one write, split at the newline; and one ended by END alone.
  EXPECT_EQ(write(alice, "BOGUS\nSYST:ERR:COUN?"), kNoError);
  const ReadDone count = read(alice);
  EXPECT_EQ(count.data, "1\n");
  EXPECT_EQ(count.reason, kReasonEnd);
  EXPECT_EQ(query(bob, "SYST:ERR?", kBob), "0,\"No error\"\n");
  EXPECT_EQ(query(alice, "SYST:ERR?").rfind("-113,", 0), 0u);
  // Nothing runs that could answer: the read ends at once.
  EXPECT_EQ(read(alice).error, kIoTimeout);
}

TEST_F(LinkTableTest, ReadsStopAtTheRequestCountAndTheTerminationCharacter) {
  const LinkId lid = open();
  ASSERT_EQ(write(lid, "SYST:VERS?;VERS?\n"), kNoError);  // "1999.0;1999.0\n"
  const ReadDone first = read(lid, 4);
  EXPECT_EQ(first.data, "1999");
  EXPECT_EQ(first.reason, kReasonRequestCount);
  const ReadDone second = read(lid, 1024, {kTermCharSet, 0, 1000}, ';');
  EXPECT_EQ(second.data, ".0;");
  EXPECT_EQ(second.reason, kReasonTermChar);
  const ReadDone rest = read(lid, 1024, {kTermCharSet, 0, 1000}, '\n');
  EXPECT_EQ(rest.data, "1999.0\n");
  EXPECT_EQ(rest.reason, kReasonTermChar | kReasonEnd);
}

TEST_F(LinkTableTest, StatusByteShowsErrorsAndAnswersWaiting) {
  const LinkId lid = open();
  const auto statusByte = [&] {
    std::optional<StatusByteRead> result;
    table_.readStatusByte(kAlice, lid, kNow, [&](StatusByteRead r) { result = r; });
    EXPECT_TRUE(thread_.runUntil([&] { return result.has_value(); }));
    return result.value_or(StatusByteRead{-1, 0}).stb;
  };
  EXPECT_EQ(statusByte(), 0);
  ASSERT_EQ(write(lid, "BOGUS\n"), kNoError);
  EXPECT_EQ(statusByte() & 0x04, 0x04);
  ASSERT_EQ(write(lid, "*CLS;*OPC?\n"), kNoError);
  EXPECT_EQ(statusByte(), 0x10);  // the answer waits: message available
}

TEST_F(LinkTableTest, CallsOnAnotherConnectionsLinkAreRefused) {
  const LinkId lid = open();
  EXPECT_EQ(write(lid, "*IDN?\n", kNow, kBob), kInvalidLinkId);
  EXPECT_EQ(table_.destroyLink(kBob, lid), kInvalidLinkId);
  EXPECT_EQ(table_.unlock(kAlice, lid), kNoLockHeld);
  EXPECT_EQ(table_.unlock(kAlice, lid + 100), kInvalidLinkId);
  EXPECT_EQ(write(lid, std::string(table_.limits().maxRecvSize + 1, 'x')), kParameterError);
  EXPECT_EQ(table_.destroyLink(kAlice, lid), kNoError);
  EXPECT_EQ(table_.destroyLink(kAlice, lid), kInvalidLinkId);
}

TEST_F(LinkTableTest, ALockHoldsOtherLinksOffUntilItIsReleased) {
  const LinkId alice = open();
  const LinkId bob = open(kBob);
  EXPECT_EQ(lock(alice, kNow), kNoError);
  EXPECT_EQ(lock(alice, kNow), kNoError);  // already held: nothing to do
  EXPECT_TRUE(board_->lock().locked());
  EXPECT_EQ(write(bob, "*IDN?\n", kNow, kBob), kDeviceLocked);
  EXPECT_EQ(lock(bob, kNow, kBob), kDeviceLocked);
  EXPECT_EQ(table_.unlock(kBob, bob), kNoLockHeld);
  EXPECT_EQ(query(alice, "SYST:VERS?"), "1999.0\n");

  // Waiting for the lock: a time-out gives "locked", a release lets the call through.
  auto timedOut = std::make_shared<std::optional<int32_t>>();
  EXPECT_EQ(lock(bob, kWaitForLock, kBob, timedOut), std::nullopt);
  table_.expire(Clock::now() + 61s);
  EXPECT_EQ(*timedOut, kDeviceLocked);
  std::optional<WriteDone> written;
  table_.write(kBob, bob, kWaitForLock, "SYST:VERS?\n", [&](WriteDone r) { written = r; });
  EXPECT_FALSE(written);
  EXPECT_EQ(table_.unlock(kAlice, alice), kNoError);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->error, kNoError);
  EXPECT_FALSE(board_->lock().locked());
  EXPECT_EQ(read(bob, 1024, kNow, 0, kBob).data, "1999.0\n");
}

TEST_F(LinkTableTest, TheLockGoesWithItsLinkAndItsConnection) {
  for (const bool byClosingTheConnection : {false, true}) {
    const LinkId alice = open();
    const LinkId bob = open(kBob);
    ASSERT_EQ(lock(alice, kNow), kNoError);
    std::optional<int32_t> waiting;
    table_.lock(kBob, bob, kWaitForLock, [&](int32_t e) { waiting = e; });
    EXPECT_EQ(waiting, std::nullopt);
    if (byClosingTheConnection) {
      table_.connectionClosed(kAlice.connection);
    } else {
      EXPECT_EQ(table_.destroyLink(kAlice, alice), kNoError);
    }
    EXPECT_EQ(waiting, kNoError);
    EXPECT_EQ(board_->lock().owner(), static_cast<BoardLock::Owner>(bob));
    EXPECT_EQ(table_.destroyLink(kBob, bob), kNoError);
    EXPECT_FALSE(board_->lock().locked());
  }
  EXPECT_EQ(table_.size(), 0u);
}

TEST_F(LinkTableTest, ALinkMadeLockedWaitsForTheLockOrIsNotMade) {
  const LinkId holder = open();
  ASSERT_EQ(lock(holder, kNow), kNoError);
  std::optional<LinkCreated> created;
  table_.createLink(kBob, "bench", true, 50, [&](LinkCreated r) { created = r; });
  EXPECT_FALSE(created);
  table_.expire(Clock::now() + 1s);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->error, kDeviceLocked);
  EXPECT_EQ(table_.size(), 1u);
}

TEST_F(LinkTableTest, AbortEndsTheWaitingCallAndClearDropsWhatWasQueued) {
  const LinkId alice = open();
  const LinkId bob = open(kBob);
  ASSERT_EQ(lock(alice, kNow), kNoError);
  std::optional<int32_t> waiting;
  table_.lock(kBob, bob, kWaitForLock, [&](int32_t e) { waiting = e; });
  EXPECT_EQ(table_.abort(kAlice, bob), kInvalidLinkId);  // the abort channel of another client
  EXPECT_EQ(table_.abort({99, kBob.address}, bob), kNoError);
  EXPECT_EQ(waiting, kAbort);

  ASSERT_EQ(write(alice, "SYST:VERS?\n"), kNoError);
  std::optional<int32_t> cleared;
  table_.generic(kAlice, alice, GenericCall::Clear, kNow, [&](int32_t e) { cleared = e; });
  EXPECT_EQ(cleared, kNoError);
  EXPECT_EQ(read(alice).error, kIoTimeout);  // the answer of the cleared message never comes
  EXPECT_EQ(query(alice, "SYST:VERS?"), "1999.0\n");
}

TEST_F(LinkTableTest, AnOverlongMessageIsDroppedWithAnOverrun) {
  const LinkId lid = open();
  const std::string chunk(table_.limits().maxRecvSize, 'x');
  ASSERT_EQ(write(lid, chunk, {0, 0, 1000}), kNoError);
  ASSERT_EQ(write(lid, chunk, {0, 0, 1000}), kNoError);
  ASSERT_EQ(write(lid, "tail;*IDN?\n"), kNoError);  // still the dropped message
  EXPECT_EQ(query(lid, "SYST:ERR?").rfind("-363,", 0), 0u);
  EXPECT_EQ(read(lid).error, kIoTimeout);
}

// A link's messages wait in the board's queue with the socket's lines: one
// that finds it full is not run, and says so in the link's error queue.
TEST_F(LinkTableTest, AMessageThatFindsTheBoardsQueueFullIsNotRun) {
  const LinkId lid = open();
  std::promise<void> holding;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(board_->post([&holding, released](BoardWorker&) {
    holding.set_value();
    released.wait();
  }));
  holding.get_future().wait();
  // The board's thread is held: the queue fills behind it.
  auto ran = std::make_shared<std::atomic<size_t>>(0);
  size_t posted = 0;
  while (board_->post([ran](BoardWorker&) { ++*ran; })) ++posted;
  EXPECT_EQ(posted, BoardWorker::kMaxQueuedJobs);
  EXPECT_EQ(write(lid, "OUTP1:POW 3\n"), kNoError);  // reaches the board's thread before the queue drains
  release.set_value();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (*ran < posted && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(query(lid, "SYST:ERR?").rfind("-350,", 0), 0u);
}

class SmallLinkTableTest : public LinkTableTest {
 protected:
  SmallLinkTableTest() : LinkTableTest(LinkLimits{2, 3, 1024, 16, 1024 * 1024}) {}
};

TEST_F(SmallLinkTableTest, LinksPerClientAndInAllAreCapped) {
  const auto error = [&](const Caller& caller) {
    int32_t e = -1;
    table_.createLink(caller, "inst0", false, 0, [&](LinkCreated r) { e = r.error; });
    return e;
  };
  EXPECT_EQ(error(kAlice), kNoError);
  EXPECT_EQ(error({3, kAlice.address}), kNoError);  // another connection, same client
  EXPECT_EQ(error(kAlice), kOutOfResources);
  EXPECT_EQ(error(kBob), kNoError);
  EXPECT_EQ(error({4, "127.0.0.3"}), kOutOfResources);
  table_.connectionClosed(kAlice.connection);
  EXPECT_EQ(error({4, "127.0.0.3"}), kNoError);
}

TEST_F(SmallLinkTableTest, MessagesNotYetRunHoldTheNextWriteBack) {
  const LinkId lid = open();
  // The first runs on the worker, the next two wait: more than 16 bytes.
  ASSERT_EQ(write(lid, "SYST:VERS?\nSYST:VERS?\nSYST:VERS?\n"), kNoError);
  std::optional<WriteDone> held;
  table_.write(kAlice, lid, kNow, "*IDN?\n", [&](WriteDone r) { held = r; });
  EXPECT_FALSE(held);
  table_.expire(Clock::now() + 11s);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->error, kIoTimeout);
  std::optional<WriteDone> later;
  table_.write(kAlice, lid, kNow, "*IDN?\n", [&](WriteDone r) { later = r; });
  ASSERT_TRUE(thread_.runUntil([&] { return later.has_value(); }));  // taken once the queue drains
  EXPECT_EQ(later->error, kNoError);
}

TEST(BoardLock, OneOwnerAndItsWaiters) {
  BoardLock lock;
  int woken = 0;
  lock.whenFree([&] { ++woken; });
  EXPECT_EQ(woken, 1);  // free: at once
  EXPECT_TRUE(lock.tryAcquire(7));
  EXPECT_FALSE(lock.tryAcquire(8));
  EXPECT_TRUE(lock.heldByOther(8));
  EXPECT_FALSE(lock.heldByOther(7));
  lock.whenFree([&] { ++woken; });
  EXPECT_FALSE(lock.release(8));
  EXPECT_EQ(woken, 1);
  EXPECT_TRUE(lock.release(7));
  EXPECT_EQ(woken, 2);
  EXPECT_FALSE(lock.locked());
}

}  // namespace
}  // namespace kestreld::vxi11
