#include "support/local_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

namespace mvsdk::test {

namespace {
constexpr auto kStartTimeout = std::chrono::seconds(5);

std::string base_url(int port) { return "http://127.0.0.1:" + std::to_string(port); }

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// Listening socket on 127.0.0.1, port 0 (any free one); -1 on failure.
int listen_local(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
LocalHttpServer::LocalHttpServer() { server_.set_keep_alive_max_count(1); }

LocalHttpServer::~LocalHttpServer() { stop(); }

bool LocalHttpServer::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return false;
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!server_.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LocalHttpServer::stop() {
  release();
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string LocalHttpServer::url(std::string_view path) const { return base_url(port_) + std::string(path); }

bool LocalHttpServer::hold(std::chrono::milliseconds max) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, max, [&] { return released_; });
}

void LocalHttpServer::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  cv_.notify_all();
}

// ---------------------------------------------------------------------------------------------
RawHttpCapture::RawHttpCapture(std::string reply) : reply_(std::move(reply)) {}

RawHttpCapture::~RawHttpCapture() { stop(); }

bool RawHttpCapture::start() {
  listen_fd_ = listen_local(&port_);
  if (listen_fd_ < 0) return false;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void RawHttpCapture::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

std::string RawHttpCapture::url(std::string_view path) const { return base_url(port_) + std::string(path); }

std::vector<RawRequest> RawHttpCapture::wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
  return requests_;
}

void RawHttpCapture::serve() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    handle(fd);
    ::close(fd);
  }
}

void RawHttpCapture::handle(int fd) {
  timeval tv{5, 0};  // a client that stops sending cannot hold the capture for long
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string raw;
  char buf[16384];
  std::size_t need = std::string::npos;  // total bytes once the head is known
  while (raw.size() < need && !stopping_) {
    ssize_t got = ::recv(fd, buf, sizeof buf, 0);
    if (got <= 0) break;
    raw.append(buf, static_cast<std::size_t>(got));
    auto head_end = raw.find("\r\n\r\n");
    if (need == std::string::npos && head_end != std::string::npos) {
      RawRequest head = parse_raw_request(raw.substr(0, head_end + 4));
      std::size_t length = 0;
      for (auto& [name, value] : head.headers)
        if (::strcasecmp(name.c_str(), "content-length") == 0) length = std::strtoull(value.c_str(), nullptr, 10);
      need = head_end + 4 + length;
    }
  }
  std::size_t sent = 0;
  while (sent < reply_.size()) {
    ssize_t n = ::send(fd, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(parse_raw_request(std::move(raw)));
  }
  cv_.notify_all();
}

RawRequest parse_raw_request(std::string raw) {
  RawRequest r;
  const auto head_end = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, head_end);
  std::size_t eol = head.find("\r\n");
  r.request_line = head.substr(0, eol);
  while (eol != std::string::npos) {
    const std::size_t start = eol + 2;
    eol = head.find("\r\n", start);
    const std::string line = head.substr(start, eol == std::string::npos ? std::string::npos : eol - start);
    if (line.empty()) continue;
    const auto colon = line.find(':');
    r.headers.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : trim(line.substr(colon + 1)));
  }
  if (head_end != std::string::npos) r.body = raw.substr(head_end + 4);
  r.raw = std::move(raw);
  return r;
}

int unused_local_port() {
  int port = -1;
  int fd = listen_local(&port);
  if (fd < 0) return -1;
  ::close(fd);
  return port;
}

}  // namespace mvsdk::test
