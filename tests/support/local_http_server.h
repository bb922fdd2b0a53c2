#pragma once
// A local HTTP server for tests (cpp-httplib), always on 127.0.0.1 on a free port, stopped by its
// destructor; register handlers on server() before start(). Every wait has a timeout so a broken
// client cannot hang a test run.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace mvsdk::test {

class LocalHttpServer {
 public:
  // Connections close after each reply (keep-alive count 1): httplib's stop() otherwise waits out
  // the keep-alive timeout of every idle client connection. A test may change it on server().
  LocalHttpServer() { server_.set_keep_alive_max_count(1); }
  ~LocalHttpServer() { stop(); }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  // Register handlers here before start().
  httplib::Server& server() { return server_; }

  // Binds 127.0.0.1 on a free port and serves on a thread of its own. False when the server
  // could not bind or was not running within 5 s.
  bool start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_.is_running()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Releases handlers waiting in hold(), stops the server and joins its thread. Idempotent.
  void stop() {
    release();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  // "http://127.0.0.1:<port>" followed by path (which starts with "/").
  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
  }

  // For handlers that must stall: blocks until release() or stop() or max has passed; true when
  // released. Stalled handlers must use this (not a bare sleep) so stop() never waits long.
  bool hold(std::chrono::milliseconds max) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, max, [&] { return released_; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool released_ = false;
};

// A port on 127.0.0.1 on which nothing listens: bound to a free port, then closed. -1 on failure.
inline int unused_local_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  ::close(fd);
  return bound ? ntohs(addr.sin_port) : -1;
}

}  // namespace mvsdk::test
