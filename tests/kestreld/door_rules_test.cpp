// The door's decisions in tables: who is let in, which request heads pass,
// which lines on the SCPI port are HTTP, where calibration files may come
// from, the token file, and the board queue's bound and withdrawal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "board_worker.h"
#include "calibration_dir.h"
#include "door.h"
#include "token.h"

namespace kestreld {
namespace {

namespace fs = std::filesystem;

TEST(Door, AdmitsByAddressAndShare) {
  AccessList access;
  access.add(*parseNetwork("10.0.0.0/8"));
  Door door(access, DoorLimits{3, 2});
  struct Case {
    const char* peer;
    Refused expected;
  };
  const Case cases[] = {
      {"192.168.1.1", Refused::Address},  {"::1", Refused::Address},         {"10.0.0.1", Refused::None},
      {"::ffff:10.0.0.1", Refused::None}, {"10.0.0.1", Refused::ClientFull}, {"10.0.0.2", Refused::None},
      {"10.0.0.3", Refused::DaemonFull},
  };
  std::vector<Door::Ticket> inside;
  for (const Case& c : cases) {
    Door::Ticket ticket;
    EXPECT_EQ(door.admit(c.peer, ticket), c.expected) << c.peer;
    if (c.expected == Refused::None) inside.push_back(std::move(ticket));
  }
  EXPECT_EQ(door.inside(), 3u);
  inside.erase(inside.begin());  // one of 10.0.0.1's connections closes
  Door::Ticket again;
  EXPECT_EQ(door.admit("10.0.0.1", again), Refused::None);
  inside.clear();
  again = Door::Ticket();
  EXPECT_EQ(door.inside(), 0u);
}

HttpHead head(const char* method, const char* host, const char* origin = nullptr) {
  HttpHead h;
  h.method = method;
  h.host = host;
  if (origin != nullptr) h.origin = origin;
  h.localAddress = "127.0.0.5";
  h.headerCount = 4;
  return h;
}

TEST(HttpRules, CallersByHostAndOrigin) {
  const HttpRules rules({"localhost", "bench-pc"}, 8080, "t0ken-t0ken-t0ken");
  struct Case {
    HttpHead head;
    int status;  // 0: passes
  };
  const Case cases[] = {
      {head("GET", "127.0.0.5:8080"), 0},
      {head("GET", "LOCALHOST:8080"), 0},
      {head("GET", "bench-pc:8080", "http://bench-pc:8080"), 0},
      {head("GET", "[::ffff:127.0.0.5]:8080"), 403},
      {head("GET", "evil.example:8080"), 403},
      {head("GET", "127.0.0.5:8081"), 403},
      {head("GET", "127.0.0.5"), 403},
      {head("GET", ""), 403},
      {head("GET", "127.0.0.5:8080", "http://evil.example"), 403},
      {head("POST", "127.0.0.5:8080", "null"), 403},
      {head("GET", "127.0.0.5:8080x"), 403},
  };
  for (const Case& c : cases) {
    const auto refusal = rules.checkCaller(c.head);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status) << c.head.host << " " << c.head.origin.value_or("-");
  }
  HttpHead crowded = head("GET", "localhost:8080");
  crowded.headerCount = HttpLimits::kMaxHeaders + 1;
  EXPECT_EQ(rules.checkCaller(crowded)->status, 431);
}

TEST(HttpRules, RequestsByBodyTokenAndType) {
  const HttpRules rules({}, 8080, "t0ken-t0ken-t0ken");
  const auto post = [](const char* length, const char* auth, const char* type) {
    HttpHead h = head("POST", "127.0.0.5:8080");
    if (length != nullptr) h.contentLength = length;
    h.authorization = auth;
    h.contentType = type;
    return h;
  };
  const char* good = "Bearer t0ken-t0ken-t0ken";
  struct Case {
    HttpHead head;
    int status;
  };
  HttpHead chunked = post("10", good, "application/json");
  chunked.transferEncoding = true;
  HttpHead getWithBody = head("GET", "127.0.0.5:8080");
  getWithBody.contentLength = "5";
  const Case cases[] = {
      {post("20", good, "application/json"), 0},
      {post("20", "bearer  t0ken-t0ken-t0ken ", "Application/JSON; charset=utf-8"), 0},
      {post("65536", good, "application/json"), 0},
      {post("65537", good, "application/json"), 413},
      {post("209715200", "", "text/plain"), 413},
      {post("x1", good, "application/json"), 400},
      {post(nullptr, good, "application/json"), 411},
      {chunked, 411},
      {post("20", "", "application/json"), 403},
      {post("20", "Bearer t0ken-t0ken-t0keN", "application/json"), 403},
      {post("20", "Basic t0ken-t0ken-t0ken", "application/json"), 403},
      {post("20", good, "text/plain"), 415},
      {post("20", good, "application/x-www-form-urlencoded"), 415},
      {post("20", good, "multipart/form-data; boundary=x"), 415},
      {getWithBody, 400},
      {head("GET", "127.0.0.5:8080"), 0},
  };
  for (const Case& c : cases) {
    const auto refusal = rules.checkRequest(c.head);
    EXPECT_EQ(refusal ? refusal->status : 0, c.status) << c.head.method << " " << c.head.contentLength.value_or("-")
                                                       << " " << c.head.authorization << " " << c.head.contentType;
  }
}

TEST(Door, HttpLinesOnTheScpiPort) {
  const char* http[] = {"GET / HTTP/1.1\r",     "POST /api HTTP/1.1",       "OPTIONS * HTTP/1.1", "PRI * HTTP/2.0",
                        "Host: 127.0.0.1:5025", "Content-Type: text/plain", "FOO /x HTTP/1.0"};
  const char* scpi[] = {"*IDN?",          "FREQ 1.8 GHz",           "SYST:ERR?", ":OUTP1:POW 5;:SYST:ERR?",
                        "OUTP2:POW 4000", "CAL:SOUR FILE,\"a: b\"", "get /",     "",
                        "SYST:CONF:READ?"};
  for (const char* line : http) EXPECT_TRUE(looksLikeHttp(line)) << line;
  for (const char* line : scpi) EXPECT_FALSE(looksLikeHttp(line)) << line;
}

TEST(Door, SecretsCompareWhole) {
  EXPECT_TRUE(sameSecret("abc123", "abc123"));
  EXPECT_FALSE(sameSecret("abc124", "abc123"));
  EXPECT_FALSE(sameSecret("abc12", "abc123"));
  EXPECT_FALSE(sameSecret("", ""));
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrel-door-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

using CalibrationDirectory = TempDir;

TEST_F(CalibrationDirectory, OnlyRegularFilesInside) {
  std::ofstream(dir_ / "cal.txt") << "1\n";
  fs::create_directory(dir_ / "sub");
  std::ofstream(dir_ / "sub" / "cal.txt") << "1\n";
  fs::create_symlink("/etc/hostname", dir_ / "out.txt");
  fs::create_symlink(dir_ / "cal.txt", dir_ / "in.txt");
  const std::string dir = dir_.string();
  EXPECT_EQ(calibrationFileIn(dir, "cal.txt"), fs::canonical(dir_ / "cal.txt").string());
  EXPECT_TRUE(calibrationFileIn(dir, "sub/cal.txt"));
  EXPECT_TRUE(calibrationFileIn(dir, "in.txt"));
  EXPECT_TRUE(calibrationFileIn(dir, (dir_ / "cal.txt").string()));
  for (const std::string name :
       {"out.txt", "../cal.txt", "sub/../cal.txt", "/etc/hostname", "missing.txt", "sub", "", "."}) {
    EXPECT_FALSE(calibrationFileIn(dir, name)) << name;
  }
  EXPECT_FALSE(calibrationFileIn("", "cal.txt"));
}

using TokenFile = TempDir;

TEST_F(TokenFile, MadePrivateOnceThenRead) {
  const std::string path = (dir_ / "token").string();
  const std::string made = tokenFromFile(path);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(made.size(), 64u);
  EXPECT_EQ(tokenFromFile(path), made);
  EXPECT_NE(newToken(), newToken());
  ::chmod(path.c_str(), 0644);
  EXPECT_THROW(tokenFromFile(path), std::runtime_error);
  const std::string shortOne = (dir_ / "short").string();
  std::ofstream(shortOne) << "abc\n";
  ::chmod(shortOne.c_str(), 0600);
  EXPECT_THROW(tokenFromFile(shortOne), std::runtime_error);
  EXPECT_THROW(tokenFromFile((dir_ / "no" / "token").string()), std::runtime_error);
}

// Without a board: the jobs run all the same (and fail on the board's absence).
TEST(BoardQueue, BoundedAndWithdrawable) {
  BoardWorker worker("queue", "127.255.255.254");
  std::promise<void> release;
  std::promise<void> busy;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(worker.post([released, &busy](BoardWorker&) {
    busy.set_value();
    released.wait();
  }));
  worker.start();
  busy.get_future().wait();  // the worker holds this job: the queue is ours to fill
  bool ranLate = false;
  auto late = worker.submit([&ranLate](BoardWorker&) { ranLate = true; });
  size_t queued = 1;
  while (worker.post([](BoardWorker&) {})) ++queued;
  EXPECT_EQ(queued, BoardWorker::kMaxQueuedJobs);
  EXPECT_THROW(worker.submit([](BoardWorker&) { return 0; }), QueueFull);
  EXPECT_TRUE(late.control->withdraw());
  release.set_value();
  std::promise<void> drained;
  while (!worker.post([&drained](BoardWorker&) { drained.set_value(); })) std::this_thread::yield();
  drained.get_future().wait();
  auto last = worker.submit([](BoardWorker&) { return 7; });
  ASSERT_EQ(last.result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(last.result.get(), 7);
  EXPECT_FALSE(ranLate);
  EXPECT_FALSE(last.control->withdraw());  // it ran: too late to take back
}

TEST(BoardQueue, StopGivesUpOnARunningCallAtItsDeadline) {
  BoardWorker worker("slow", "127.255.255.254");
  worker.start();
  std::promise<void> started;
  worker.post([&started](BoardWorker&) {
    started.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
  });
  started.get_future().wait();
  EXPECT_FALSE(worker.stop(std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
  EXPECT_TRUE(worker.stopping());
  EXPECT_FALSE(worker.post([](BoardWorker&) {}));
  EXPECT_TRUE(worker.stop());
}

}  // namespace
}  // namespace kestreld
