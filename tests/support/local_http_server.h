#pragma once
// Local HTTP servers for tests, always on 127.0.0.1 on a free port, stopped by their destructor:
//  - LocalHttpServer: a cpp-httplib server; register handlers on server() before start().
//  - RawHttpCapture: records each request exactly as its bytes arrived (header order, repeated
//    names, body) and answers every one with a fixed reply.
// Every wait has a timeout so a broken client cannot hang a test run.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace mvsdk::test {

class LocalHttpServer {
 public:
  // Connections close after each reply (keep-alive count 1): httplib's stop() otherwise waits out
  // the keep-alive timeout of every idle client connection. A test may change it on server().
  LocalHttpServer();
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  // Register handlers here before start().
  httplib::Server& server() { return server_; }

  // Binds 127.0.0.1 on a free port and serves on a thread of its own. False when the server
  // could not bind or was not running within 5 s.
  bool start();
  // Releases handlers waiting in hold(), stops the server and joins its thread. Idempotent.
  void stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by path (which starts with "/").
  std::string url(std::string_view path) const;

  // For handlers that must stall: blocks until release() or stop() or max has passed; true when
  // released. Stalled handlers must use this (not a bare sleep) so stop() never waits long.
  bool hold(std::chrono::milliseconds max);
  void release();

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

// One request as received by RawHttpCapture.
struct RawRequest {
  std::string request_line;                                  // "GET /path HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, value trimmed
  std::string body;
  std::string raw;  // the bytes exactly as received
};

class RawHttpCapture {
 public:
  // reply: the bytes sent back for every request (the connection is closed after it).
  explicit RawHttpCapture(std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  ~RawHttpCapture();
  RawHttpCapture(const RawHttpCapture&) = delete;
  RawHttpCapture& operator=(const RawHttpCapture&) = delete;

  bool start();
  void stop();
  int port() const { return port_; }
  std::string url(std::string_view path) const;

  // Waits until at least n requests have arrived (or timeout); returns those seen so far.
  std::vector<RawRequest> wait_for_requests(std::size_t n, std::chrono::milliseconds timeout);

 private:
  void serve();
  void handle(int fd);

  std::string reply_;
  int listen_fd_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<RawRequest> requests_;
};

// Parses the head and body of a raw HTTP request (the body by its Content-Length, else empty).
RawRequest parse_raw_request(std::string raw);

// A port on 127.0.0.1 on which nothing listens: bound to a free port, then closed. -1 on failure.
int unused_local_port();

}  // namespace mvsdk::test
