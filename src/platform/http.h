#pragma once
// HTTP over libcurl: data requests whose completion runs on an HTTP worker thread, and file
// downloads into a temporary file whose events arrive on the main queue. Certificate checks stay
// on; redirects are followed (at most 10).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace mvsdk::platform {

struct HttpHeader {
  std::string name;
  std::string value;
};

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  // Sent in this order, repeated names allowed. A value holding CR, LF or NUL fails the request
  // before anything is sent.
  std::vector<HttpHeader> headers;
  std::optional<std::string> body;  // nullopt: no body at all
  std::chrono::milliseconds timeout{60000};
  // Larger reply bodies fail the request (domain "libcurl" is not used for this: see http.cpp).
  std::size_t max_body_bytes = 32u << 20;
};

// Errors this layer makes itself (not libcurl's) carry the domain kHttpErrorDomain.
inline constexpr const char* kHttpErrorDomain = "http";
// The request was refused before anything was sent: a header name that is not an HTTP token, a
// header value holding CR, LF or NUL, an empty URL or an invalid method.
inline constexpr std::int64_t kHttpErrorInvalidRequest = 1;
// The reply body (announced or received) is larger than HttpRequest::max_body_bytes.
inline constexpr std::int64_t kHttpErrorBodyTooLarge = 2;

struct HttpResponse {
  long status = 0;
  std::vector<HttpHeader> headers;  // as received, in order
  std::string body;
};

// Exactly one of response / error is set. Runs on an HTTP worker thread.
using HttpCompletion = std::function<void(std::optional<HttpResponse> response, std::optional<Error> error)>;

// Sends a data request; returns at once. Callable from any thread. The completion is always
// called exactly once, never on the calling thread (a refused request too) and never on the main
// queue; completions run one at a time on one HTTP callback thread, in the order the transfers
// ended. Method "GET" and "HEAD" send no body; "POST" without a body sends "Content-Length: 0".
// libcurl adds only "Host" (and "Content-Length" for a body) of its own; no "Accept",
// "Content-Type", "Expect" or "User-Agent" unless given in headers. A timeout of zero or less
// means no time limit.
void http_send(HttpRequest request, HttpCompletion completion);

// A limit of zero or less is no limit. The stall limit covers connecting and waiting for the reply
// as well as the body; both fail with libcurl's CURLE_OPERATION_TIMEDOUT.
struct DownloadOptions {
  std::chrono::seconds stall_limit{60};   // no byte received for this long: the transfer fails
  std::chrono::seconds total_limit{300};  // whole transfer
  std::vector<HttpHeader> headers;
  // Where the temporary file is made; empty: the system temp directory. Giving the directory
  // the file will be moved into keeps that move a rename on one file system.
  std::filesystem::path temp_directory;
};

// Reads a whole number of seconds (> 0) from the environment variable name; fallback when it is
// unset, empty, not a plain positive decimal number, or absurdly large.
std::chrono::seconds seconds_from_env(const char* name, std::chrono::seconds fallback);

// Download events, all delivered on the main queue, in this order: progress (0 or more),
// finished (only if the transfer completed at transport level), complete (always, once).
struct DownloadEvents {
  // bytes_written: this delivery; total_written: so far; total_expected: nullopt when the
  // server announced no length. Sent only when a length was announced.
  std::function<void(std::int64_t bytes_written, std::int64_t total_written,
                     std::optional<std::int64_t> total_expected)>
      on_progress;
  // The body is in temp_file, which is removed after this handler returns unless the handler
  // moved it away. status is the HTTP status of the final response.
  std::function<void(const std::filesystem::path& temp_file, long status)> on_finished;
  // error set on a transport failure (domain "libcurl", libcurl's code and text) or cancel.
  std::function<void(std::optional<Error> error, long status)> on_complete;
};

class DownloadTask {
 public:
  virtual ~DownloadTask() = default;
  // Stops the transfer; on_complete then reports a cancellation error.
  virtual void cancel() = 0;
  virtual const std::string& url() const = 0;
};

// Starts a download of url (GET, options.headers only) into a temporary file; returns at once.
// Callable from any thread. Downloads to one host (scheme, host and port of url) run one at a
// time, in the order started; the others wait, and their limits start only when they do. A failed
// or cancelled download leaves no temporary file behind. The task may be dropped at once: the
// transfer goes on and its events still arrive; cancel() after the transfer ended does nothing.
std::shared_ptr<DownloadTask> http_download(std::string url, DownloadOptions options, DownloadEvents events);

}  // namespace mvsdk::platform
