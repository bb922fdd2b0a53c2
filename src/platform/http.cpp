// HTTP over libcurl.
//
// One process-wide transfer thread drives one curl multi handle: data requests and downloads are
// easy handles on it, so no transfer waits for another (downloads to one host excepted, which run
// one at a time by design). The transfer thread never runs caller code: data-request completions
// go to a separate callback thread, download events to the main queue. Other threads talk to the
// transfer thread only through a command list and curl_multi_wakeup().
//
// The engine is created on first use and never destroyed. At process exit a handler stops the
// transfer thread (abandoning transfers in flight and deleting their temporary files, without
// events) before libcurl's and OpenSSL's own exit-time cleanup could pull anything from under it.
#include "platform/http.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace mvsdk::platform {
namespace {

using Clock = std::chrono::steady_clock;

// libcurl follows at most this many redirects.
constexpr long kMaxRedirects = 10;
// How long the transfer thread sleeps in curl_multi_poll at most while transfers are active: the
// granularity of the stall check. Idle, it sleeps until woken.
constexpr int kActivePollMs = 100;
constexpr int kIdlePollMs = 60 * 60 * 1000;
// At exit, how long a data-request completion that is running may take before it is abandoned.
constexpr std::chrono::milliseconds kExitGrace{2000};

// ---------------------------------------------------------------------------------------------
// RAII around libcurl's handles.
struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlFreeDeleter {
  void operator()(char* p) const { curl_free(p); }
};
using CurlString = std::unique_ptr<char, CurlFreeDeleter>;

// ---------------------------------------------------------------------------------------------
// Errors.

Error curl_error(CURLcode code, std::string_view detail = {}) {
  Error e;
  e.domain = kCurlErrorDomain;
  e.code = static_cast<std::int64_t>(code);
  e.description = curl_easy_strerror(code);
  if (!detail.empty() && detail != e.description) {
    e.description += ": ";
    e.description += detail;
  }
  return e;
}

Error http_error(std::int64_t code, std::string description) {
  return Error{kHttpErrorDomain, code, std::move(description)};
}

Error file_error(int err, const std::string& what) {
  return Error{kFileErrorDomain, err, what + ": " + std::strerror(err)};
}

// The text libcurl left in a transfer's error buffer, without a trailing line break.
std::string_view buffer_text(const char* buf) {
  std::string_view s(buf);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Runs one caller-supplied handler; an exception is logged and dropped so later handlers (and
// the thread) go on.
template <class F>
void guarded(const char* what, F&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    log_line(Level::kError, std::string("http: ") + what + " threw: " + e.what());
  } catch (...) {
    log_line(Level::kError, std::string("http: ") + what + " threw");
  }
}

// ---------------------------------------------------------------------------------------------
// Request validation.

// RFC 9110 token characters: what a header name or method may consist of.
bool is_token_char(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return is_token_char(static_cast<unsigned char>(c)); });
}

std::string printable(std::string_view s) {
  std::string out;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += c;
    }
    if (out.size() > 64) {
      out += "...";
      break;
    }
  }
  return out;
}

std::optional<Error> check_headers(const std::vector<HttpHeader>& headers) {
  for (const auto& h : headers) {
    if (!is_token(h.name))
      return http_error(kHttpErrorInvalidRequest, "invalid HTTP header name \"" + printable(h.name) + "\"");
    if (h.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
      return http_error(kHttpErrorInvalidRequest,
                        "HTTP header \"" + h.name + "\" has a value holding CR, LF or NUL");
  }
  return std::nullopt;
}

// ASCII case-insensitive equality (header names).
bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool has_header(const std::vector<HttpHeader>& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(), [&](const HttpHeader& h) { return iequals(h.name, name); });
}

// The header list handed to libcurl: the caller's headers in order, then blank entries that keep
// libcurl from adding its own defaults ("Accept: */*", a form Content-Type, "Expect:
// 100-continue") unless the caller gave that header. Null list with *ok false on allocation
// failure.
Slist build_header_list(const std::vector<HttpHeader>& headers, bool* ok) {
  Slist list;
  *ok = true;
  auto append = [&](const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (!head) {
      *ok = false;
      return;
    }
    (void)list.release();
    list.reset(head);
  };
  for (const auto& h : headers) {
    // libcurl drops "Name:" with a blank value (it means "remove"); "Name;" sends it empty.
    const bool blank = h.value.find_first_not_of(" \t") == std::string::npos;
    append(blank ? h.name + ";" : h.name + ": " + h.value);
    if (!*ok) return nullptr;
  }
  for (const char* name : {"Accept", "Content-Type", "Expect"}) {
    if (!has_header(headers, name)) append(std::string(name) + ":");
    if (!*ok) return nullptr;
  }
  return list;
}

// scheme://host:port of a URL, the key downloads are serialised by; "" when it does not parse.
std::string host_key(const std::string& url) {
  UrlHandle u(curl_url());
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  auto part = [&](CURLUPart p, unsigned flags) -> std::string {
    char* out = nullptr;
    if (curl_url_get(u.get(), p, &out, flags) != CURLUE_OK || !out) return {};
    CurlString owned(out);
    return owned.get();
  };
  return part(CURLUPART_SCHEME, 0) + "://" + part(CURLUPART_HOST, 0) + ":" +
         part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
}

long clamp_ms(std::int64_t ms) { return static_cast<long>(std::clamp<std::int64_t>(ms, 0, LONG_MAX)); }

// Status code of a status line ("HTTP/1.1 200 OK", "HTTP/2 404"); 0 when it is none.
long parse_status_line(std::string_view line) {
  if (line.substr(0, 5) != "HTTP/") return 0;
  auto sp = line.find(' ');
  if (sp == std::string_view::npos) return 0;
  long status = 0;
  for (std::size_t i = sp + 1; i < line.size() && i < sp + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// ---------------------------------------------------------------------------------------------
// The callback thread: runs data-request completions one at a time, away from the transfer
// thread so a slow completion holds up no transfer.
class CallbackThread {
 public:
  CallbackThread() : thread_([this] { run(); }) {}

  void post(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return;  // process exit: nothing starts any more
      tasks_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }

  // Process exit: start nothing more; give a running completion kExitGrace to end, then leave the
  // thread behind (it may be blocked on something the exit has stopped). Pending completions are
  // dropped without being destroyed: their captures may refer to torn-down statics.
  void close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
    if (std::this_thread::get_id() == thread_.get_id()) {
      thread_.detach();
      return;
    }
    const bool ended = cv_.wait_for(lock, kExitGrace, [&] { return exited_; });
    lock.unlock();
    if (ended)
      thread_.join();
    else
      thread_.detach();
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return closed_ || !tasks_.empty(); });
        if (closed_) {
          // Pending completions stay in tasks_, which is never destroyed (see close()).
          exited_ = true;
          cv_.notify_all();
          return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      guarded("completion", task);
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool closed_ = false;
  bool exited_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

// ---------------------------------------------------------------------------------------------
// Transfers. Everything below runs on the transfer thread unless said otherwise.

class Transfer {
 public:
  explicit Transfer(std::uint64_t id) : id_(id) {}
  virtual ~Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  std::uint64_t id() const { return id_; }
  CURL* easy() const { return easy_.get(); }
  // Downloads to one host run one at a time; "" means no such limit.
  virtual const std::string& serial_key() const = 0;

  // Builds the easy handle (and whatever else the transfer needs before it starts); an error
  // means the transfer never starts, and fail() reports it.
  virtual std::optional<Error> prepare() = 0;
  // The transfer ended at transport level: reports its outcome.
  virtual void complete(CURLcode result) = 0;
  // The transfer ends without a transport outcome (cancel, stall, refusal): reports error.
  virtual void fail(Error error) = 0;
  // Process exit: clean up without reporting anything.
  virtual void abandon() = 0;
  // The error to end the transfer with when no byte came for too long (only downloads have
  // such a limit).
  virtual std::optional<Error> stall_error(Clock::time_point) const { return std::nullopt; }

  // Called from libcurl's callbacks; false aborts the transfer.
  virtual bool on_header(std::string_view line) = 0;
  virtual bool on_body(const char* data, std::size_t n) = 0;

 protected:
  // Common easy-handle setup: URL, callbacks, headers, redirects, protocols, certificate checks.
  std::optional<Error> setup_easy(const std::string& url, const std::vector<HttpHeader>& headers) {
    easy_.reset(curl_easy_init());
    if (!easy_) return curl_error(CURLE_FAILED_INIT, "cannot create a transfer handle");
    bool ok = true;
    header_list_ = build_header_list(headers, &ok);
    if (!ok) return curl_error(CURLE_OUT_OF_MEMORY, "cannot build the header list");
    CURL* h = easy_.get();
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption opt, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PRIVATE, static_cast<void*>(this));
    set(CURLOPT_ERRORBUFFER, errbuf_);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, kMaxRedirects);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_HTTPHEADER, header_list_.get());
    set(CURLOPT_HEADERFUNCTION, &Transfer::header_cb);
    set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    set(CURLOPT_WRITEFUNCTION, &Transfer::write_cb);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (rc != CURLE_OK) return curl_error(rc, "cannot configure the transfer");
    return std::nullopt;
  }

  long response_status() const {
    long status = 0;
    if (easy_) curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

  std::string_view error_text() const { return buffer_text(errbuf_); }

 private:
  static std::size_t header_cb(char* data, std::size_t size, std::size_t n, void* user) {
    const std::size_t len = size * n;
    try {
      return static_cast<Transfer*>(user)->on_header(std::string_view(data, len)) ? len : 0;
    } catch (...) {
      return 0;
    }
  }
  static std::size_t write_cb(char* data, std::size_t size, std::size_t n, void* user) {
    const std::size_t len = size * n;
    try {
      // Returning anything but len makes libcurl end the transfer with CURLE_WRITE_ERROR.
      return static_cast<Transfer*>(user)->on_body(data, len) ? len : 0;
    } catch (...) {
      return 0;
    }
  }

  std::uint64_t id_;
  EasyHandle easy_;
  Slist header_list_;
  char errbuf_[CURL_ERROR_SIZE] = {};
};

// ---------------------------------------------------------------------------------------------
class DataTransfer final : public Transfer {
 public:
  DataTransfer(std::uint64_t id, HttpRequest request, HttpCompletion completion, CallbackThread& callbacks)
      : Transfer(id), request_(std::move(request)), completion_(std::move(completion)), callbacks_(callbacks) {}

  const std::string& serial_key() const override { return kNoKey; }

  // Checks that need no libcurl: a refused request is reported without anything being sent.
  std::optional<Error> validate() const {
    if (request_.url.empty()) return http_error(kHttpErrorInvalidRequest, "empty URL");
    if (!is_token(request_.method))
      return http_error(kHttpErrorInvalidRequest, "invalid HTTP method \"" + printable(request_.method) + "\"");
    return check_headers(request_.headers);
  }

  std::optional<Error> prepare() override {
    if (auto e = validate()) return e;
    if (auto e = setup_easy(request_.url, request_.headers)) return e;
    CURL* h = easy();
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption opt, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
    };
    const std::string& m = request_.method;
    if (request_.body) {
      // The body lives in request_ for the whole transfer, so libcurl need not copy it.
      set(CURLOPT_POST, 1L);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body->size()));
      set(CURLOPT_POSTFIELDS, request_.body->data());
      if (m != "POST") set(CURLOPT_CUSTOMREQUEST, m.c_str());
    } else if (m == "GET") {
      set(CURLOPT_HTTPGET, 1L);
    } else if (m == "HEAD") {
      set(CURLOPT_NOBODY, 1L);
    } else if (m == "POST") {
      // No body: an empty one, so the request says "Content-Length: 0".
      set(CURLOPT_POST, 1L);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
      set(CURLOPT_POSTFIELDS, "");
    } else {
      set(CURLOPT_CUSTOMREQUEST, m.c_str());
    }
    if (request_.timeout.count() > 0) set(CURLOPT_TIMEOUT_MS, clamp_ms(request_.timeout.count()));
    if (rc != CURLE_OK) return curl_error(rc, "cannot configure the request");
    return std::nullopt;
  }

  void complete(CURLcode result) override {
    if (too_large_) return fail(too_large_error());
    if (result != CURLE_OK) return fail(curl_error(result, error_text()));
    response_.status = response_status();
    response_.headers = std::move(headers_);
    deliver(std::move(response_), std::nullopt);
  }

  void fail(Error error) override { deliver(std::nullopt, std::move(error)); }

  void abandon() override {}

  bool on_header(std::string_view raw) override {
    std::string_view line = trim(raw);
    if (long status = parse_status_line(line)) {
      // A new response (after a redirect or an interim 1xx): its headers replace the last ones.
      headers_.clear();
      current_status_ = status;
      announced_ = 0;
      return true;
    }
    if (line.empty()) return true;
    if ((raw.front() == ' ' || raw.front() == '\t') && !headers_.empty()) {
      // Obsolete line folding: continues the previous value.
      headers_.back().value += ' ';
      headers_.back().value += line;
      return true;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    HttpHeader h{std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1)))};
    if (current_status_ >= 200 && !(current_status_ >= 300 && current_status_ < 400) &&
        iequals(h.name, "Content-Length")) {
      // A body announced larger than allowed fails before any of it arrives.
      announced_ = std::strtoull(h.value.c_str(), nullptr, 10);
      if (announced_ > request_.max_body_bytes) {
        too_large_ = true;
        return false;
      }
    }
    headers_.push_back(std::move(h));
    return true;
  }

  bool on_body(const char* data, std::size_t n) override {
    if (n > request_.max_body_bytes - std::min(response_.body.size(), request_.max_body_bytes)) {
      too_large_ = true;
      return false;
    }
    if (response_.body.empty() && announced_ > 0) response_.body.reserve(announced_);
    response_.body.append(data, n);
    return true;
  }

 private:
  static inline const std::string kNoKey;

  Error too_large_error() const {
    return http_error(kHttpErrorBodyTooLarge, "reply body larger than the limit of " +
                                                  std::to_string(request_.max_body_bytes) + " bytes");
  }

  void deliver(std::optional<HttpResponse> response, std::optional<Error> error) {
    if (!completion_) return;
    callbacks_.post([c = std::move(completion_), r = std::move(response), e = std::move(error)]() mutable {
      c(std::move(r), std::move(e));
    });
  }

  HttpRequest request_;
  HttpCompletion completion_;
  CallbackThread& callbacks_;
  HttpResponse response_;
  std::vector<HttpHeader> headers_;
  long current_status_ = 0;
  unsigned long long announced_ = 0;  // Content-Length of the final response, 0 when none
  bool too_large_ = false;
};

// ---------------------------------------------------------------------------------------------
class DownloadTransfer final : public Transfer {
 public:
  DownloadTransfer(std::uint64_t id, std::string url, DownloadOptions options, DownloadEvents events)
      : Transfer(id),
        url_(std::move(url)),
        options_(std::move(options)),
        events_(std::make_shared<DownloadEvents>(std::move(events))),
        key_(host_key(url_)) {}

  ~DownloadTransfer() override { discard_file(); }

  const std::string& serial_key() const override { return key_; }

  std::optional<Error> prepare() override {
    if (auto e = check_headers(options_.headers)) return e;
    if (auto e = setup_easy(url_, options_.headers)) return e;
    CURL* h = easy();
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption opt, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
    };
    set(CURLOPT_HTTPGET, 1L);
    if (options_.total_limit.count() > 0)
      set(CURLOPT_TIMEOUT_MS, clamp_ms(options_.total_limit.count() * 1000));
    if (options_.stall_limit.count() > 0)
      set(CURLOPT_CONNECTTIMEOUT_MS, clamp_ms(options_.stall_limit.count() * 1000));
    if (rc != CURLE_OK) return curl_error(rc, "cannot configure the download");
    if (auto e = open_file()) return e;
    last_activity_ = Clock::now();
    return std::nullopt;
  }

  void complete(CURLcode result) override {
    const long status = response_status();
    if (file_errno_) return fail(file_error(file_errno_, "cannot write " + temp_path_.string()));
    if (result != CURLE_OK) return fail(curl_error(result, error_text()));
    std::FILE* f = std::exchange(file_, nullptr);
    if (std::fclose(f) != 0) return fail(file_error(errno, "cannot write " + temp_path_.string()));
    // From here the file belongs to the finished handler (and is removed after it).
    std::filesystem::path path = std::exchange(temp_path_, {});
    main_queue().async([events = events_, path = std::move(path), status] {
      if (events->on_finished) guarded("download finished handler", [&] { events->on_finished(path, status); });
      std::error_code ec;
      std::filesystem::remove(path, ec);
      if (events->on_complete) guarded("download complete handler", [&] { events->on_complete(std::nullopt, status); });
    });
  }

  void fail(Error error) override {
    const long status = response_status();
    discard_file();  // before the report: once complete runs, no temporary file is left
    main_queue().async([events = events_, error = std::move(error), status]() mutable {
      if (events->on_complete)
        guarded("download complete handler", [&] { events->on_complete(std::move(error), status); });
    });
  }

  void abandon() override { discard_file(); }

  std::optional<Error> stall_error(Clock::time_point now) const override {
    if (options_.stall_limit.count() <= 0 || now - last_activity_ < options_.stall_limit) return std::nullopt;
    return curl_error(CURLE_OPERATION_TIMEDOUT,
                      "no data received for " + std::to_string(options_.stall_limit.count()) + " s");
  }

  bool on_header(std::string_view line) override {
    last_activity_ = Clock::now();
    if (parse_status_line(trim(line))) announced_.reset();
    return true;
  }

  bool on_body(const char* data, std::size_t n) override {
    last_activity_ = Clock::now();
    if (std::fwrite(data, 1, n, file_) != n) {
      file_errno_ = errno ? errno : EIO;
      return false;
    }
    written_ += static_cast<std::int64_t>(n);
    if (!announced_) {
      curl_off_t length = -1;
      curl_easy_getinfo(easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      announced_ = length;
    }
    if (*announced_ >= 0 && events_->on_progress) {
      main_queue().async([events = events_, n = static_cast<std::int64_t>(n), total = written_,
                          expected = static_cast<std::int64_t>(*announced_)] {
        guarded("download progress handler", [&] { events->on_progress(n, total, expected); });
      });
    }
    return true;
  }

 private:
  std::optional<Error> open_file() {
    std::error_code ec;
    std::filesystem::path dir = options_.temp_directory;
    if (dir.empty()) dir = std::filesystem::temp_directory_path(ec);
    if (dir.empty() || ec) dir = "/tmp";
    std::string pattern = (dir / "mvsdk-download-XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) return file_error(errno, "cannot create a temporary file in " + dir.string());
    temp_path_ = pattern;
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
      const int err = errno;
      ::close(fd);
      discard_file();
      return file_error(err, "cannot open " + pattern);
    }
    return std::nullopt;
  }

  void discard_file() {
    if (file_) std::fclose(std::exchange(file_, nullptr));
    if (!temp_path_.empty()) {
      std::error_code ec;
      std::filesystem::remove(std::exchange(temp_path_, {}), ec);
    }
  }

  std::string url_;
  DownloadOptions options_;
  std::shared_ptr<DownloadEvents> events_;  // shared with the main-queue tasks that call them
  std::string key_;
  std::FILE* file_ = nullptr;
  std::filesystem::path temp_path_;
  int file_errno_ = 0;
  std::int64_t written_ = 0;
  std::optional<curl_off_t> announced_;  // the final response's Content-Length, -1 when none
  Clock::time_point last_activity_{};
};

// ---------------------------------------------------------------------------------------------
class Engine {
 public:
  static Engine& instance() {
    static Engine* engine = new Engine();  // leaked: lives for the process (see at_exit)
    return *engine;
  }

  void send(HttpRequest request, HttpCompletion completion) {
    auto t = std::make_unique<DataTransfer>(next_id(), std::move(request), std::move(completion), callbacks_);
    // Refused at once, without a trip through the transfer thread; still reported on the
    // callback thread, never from inside http_send.
    if (auto e = t->validate()) return t->fail(std::move(*e));
    submit(std::move(t));
  }

  std::uint64_t download(std::string url, DownloadOptions options, DownloadEvents events) {
    const std::uint64_t id = next_id();
    submit(std::make_unique<DownloadTransfer>(id, std::move(url), std::move(options), std::move(events)));
    return id;
  }

  void cancel(std::uint64_t id) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_) return;
      cancels_.push_back(id);
    }
    wake();
  }

 private:
  Engine() {
    // The main queue must outlive our exit handler: built first, its own exit handler runs after
    // ours. It is never destroyed anyway.
    (void)main_queue();
    init_result_ = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (init_result_ == CURLE_OK) {
      multi_ = curl_multi_init();
      if (!multi_) init_result_ = CURLE_FAILED_INIT;
    }
    if (init_result_ == CURLE_OK) {
      worker_ = std::thread([this] { run(); });
      std::atexit(&Engine::at_exit);
    } else {
      log_line(Level::kError, std::string("http: libcurl failed to start: ") + curl_easy_strerror(init_result_));
    }
  }

  static void at_exit() { instance().close(); }

  std::uint64_t next_id() { return ids_.fetch_add(1) + 1; }

  void submit(std::unique_ptr<Transfer> t) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!closed_ && init_result_ == CURLE_OK) {
        starts_.push_back(std::move(t));
        t = nullptr;
      }
    }
    if (t) {
      if (init_result_ != CURLE_OK) t->fail(curl_error(init_result_, "libcurl could not be started"));
      return;  // process exit: dropped without a report
    }
    wake();
  }

  void wake() {
    if (multi_) curl_multi_wakeup(multi_);
  }

  // Process exit: stop the transfer thread, which abandons what is in flight.
  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    wake();
    if (worker_.joinable()) {
      if (std::this_thread::get_id() == worker_.get_id())
        worker_.detach();
      else
        worker_.join();
    }
    callbacks_.close();
  }

  void run() {
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> starts;
      std::vector<std::uint64_t> cancels;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) break;
        starts.swap(starts_);
        cancels.swap(cancels_);
      }
      for (auto& t : starts) enqueue(std::move(t));
      for (std::uint64_t id : cancels) cancel_now(id);
      start_ready();

      int running = 0;
      curl_multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        const CURLcode result = msg->data.result;
        if (auto t = take_active(msg->easy_handle)) t->complete(result);
      }
      check_stalls();
      start_ready();  // downloads whose host was freed just now

      curl_multi_poll(multi_, nullptr, 0, active_.empty() ? kIdlePollMs : kActivePollMs, nullptr);
    }
    // Exit: nothing is reported any more; temporary files are removed.
    for (auto& [easy, t] : active_) {
      curl_multi_remove_handle(multi_, easy);
      t->abandon();
    }
    active_.clear();
    for (auto& [key, queue] : waiting_)
      for (auto& t : queue) t->abandon();
    waiting_.clear();
  }

  // A new transfer: started now, or queued behind the running download to its host.
  void enqueue(std::unique_ptr<Transfer> t) {
    const std::string& key = t->serial_key();
    if (key.empty()) return start(std::move(t));
    waiting_[key].push_back(std::move(t));
  }

  // Starts the first waiting download of every host that has none running.
  void start_ready() {
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      // start() may fail at once and free the host again: then the next one goes.
      while (busy_hosts_.count(it->first) == 0 && !it->second.empty()) {
        auto t = std::move(it->second.front());
        it->second.pop_front();
        busy_hosts_.insert({it->first, t->id()});
        start(std::move(t));
      }
      if (it->second.empty())
        it = waiting_.erase(it);
      else
        ++it;
    }
  }

  void start(std::unique_ptr<Transfer> t) {
    std::optional<Error> error = t->prepare();
    if (!error) {
      CURLMcode mc = curl_multi_add_handle(multi_, t->easy());
      if (mc == CURLM_OK) {
        CURL* easy = t->easy();
        active_.emplace(easy, std::move(t));
        return;
      }
      error = curl_error(CURLE_FAILED_INIT, curl_multi_strerror(mc));
    }
    release_host(*t);
    t->fail(std::move(*error));
  }

  std::unique_ptr<Transfer> take_active(CURL* easy) {
    auto it = active_.find(easy);
    if (it == active_.end()) return nullptr;
    auto t = std::move(it->second);
    active_.erase(it);
    curl_multi_remove_handle(multi_, easy);
    release_host(*t);
    return t;
  }

  void release_host(const Transfer& t) {
    auto it = busy_hosts_.find(t.serial_key());
    if (it != busy_hosts_.end() && it->second == t.id()) busy_hosts_.erase(it);
  }

  void cancel_now(std::uint64_t id) {
    const Error cancelled = curl_error(CURLE_ABORTED_BY_CALLBACK, "download cancelled");
    for (auto& [easy, t] : active_) {
      if (t->id() == id) {
        take_active(easy)->fail(cancelled);
        return;
      }
    }
    for (auto& [key, queue] : waiting_) {
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if ((*it)->id() == id) {
          auto t = std::move(*it);
          queue.erase(it);
          t->fail(cancelled);
          return;
        }
      }
    }
    // Already ended (or unknown): nothing to do.
  }

  void check_stalls() {
    const auto now = Clock::now();
    std::vector<std::pair<CURL*, Error>> stalled;
    for (auto& [easy, t] : active_)
      if (auto e = t->stall_error(now)) stalled.emplace_back(easy, std::move(*e));
    for (auto& [easy, error] : stalled) take_active(easy)->fail(std::move(error));
  }

  std::atomic<std::uint64_t> ids_{0};
  CURLcode init_result_ = CURLE_OK;
  CURLM* multi_ = nullptr;
  CallbackThread callbacks_;

  // Shared with other threads, under mutex_.
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> starts_;
  std::vector<std::uint64_t> cancels_;
  bool closed_ = false;

  // Transfer thread only.
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;
  std::map<std::string, std::deque<std::unique_ptr<Transfer>>> waiting_;
  std::map<std::string, std::uint64_t> busy_hosts_;  // host key -> id of its running download

  std::thread worker_;
};

class DownloadTaskImpl final : public DownloadTask {
 public:
  DownloadTaskImpl(std::string url, std::uint64_t id) : url_(std::move(url)), id_(id) {}
  void cancel() override { Engine::instance().cancel(id_); }
  const std::string& url() const override { return url_; }

 private:
  std::string url_;
  std::uint64_t id_;
};

}  // namespace

void http_send(HttpRequest request, HttpCompletion completion) {
  try {
    Engine::instance().send(std::move(request), std::move(completion));
  } catch (const std::exception& e) {
    log_line(Level::kError, std::string("http: request not sent: ") + e.what());
  }
}

std::shared_ptr<DownloadTask> http_download(std::string url, DownloadOptions options, DownloadEvents events) {
  try {
    std::string copy = url;
    const std::uint64_t id = Engine::instance().download(std::move(url), std::move(options), std::move(events));
    return std::make_shared<DownloadTaskImpl>(std::move(copy), id);
  } catch (const std::exception& e) {
    log_line(Level::kError, std::string("http: download not started: ") + e.what());
    return nullptr;
  }
}

std::chrono::seconds seconds_from_env(const char* name, std::chrono::seconds fallback) {
  const char* text = name ? std::getenv(name) : nullptr;
  if (!text || !*text) return fallback;
  // At most a year: anything larger is a typo, and keeps the millisecond arithmetic in range.
  constexpr std::int64_t kMaxSeconds = 366LL * 24 * 3600;
  std::int64_t value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return fallback;
    value = value * 10 + (*p - '0');
    if (value > kMaxSeconds) return fallback;
  }
  return value > 0 ? std::chrono::seconds(value) : fallback;
}

}  // namespace mvsdk::platform
