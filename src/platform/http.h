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

struct HttpResponse {
  long status = 0;
  std::vector<HttpHeader> headers;  // as received, in order
  std::string body;
};

// Exactly one of response / error is set. Runs on an HTTP worker thread.
using HttpCompletion = std::function<void(std::optional<HttpResponse> response, std::optional<Error> error)>;

// Sends a data request; returns at once.
void http_send(HttpRequest request, HttpCompletion completion);

struct DownloadOptions {
  std::chrono::seconds stall_limit{60};   // no byte received for this long: the transfer fails
  std::chrono::seconds total_limit{300};  // whole transfer
  std::vector<HttpHeader> headers;
};

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

// Starts a download of url into a temporary file; returns at once.
std::shared_ptr<DownloadTask> http_download(std::string url, DownloadOptions options, DownloadEvents events);

}  // namespace mvsdk::platform
