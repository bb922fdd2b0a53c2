#include "console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace mvsdk::live {

namespace {
constexpr const char* kClearLine = "\r\033[K";  // to the line's start, erase to its end
}

void Console::info(const char* fmt, ...) {
  if (quiet_) return;
  if (drawn_) std::fputs(kClearLine, stdout);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stdout, fmt, ap);
  va_end(ap);
  std::fputc('\n', stdout);
  if (drawn_) std::fputs(last_.c_str(), stdout);
  std::fflush(stdout);
}

void Console::status(const std::string& line) {
  if (quiet_) return;
  if (terminal_) {
    std::fputs(kClearLine, stdout);
    std::fputs(line.c_str(), stdout);
    drawn_ = true;
    last_ = line;
  } else {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
}

void Console::end_status() {
  if (!drawn_) return;
  std::fputc('\n', stdout);
  std::fflush(stdout);
  drawn_ = false;
}

int Console::fail(const std::string& step, const std::string& message) {
  end_status();
  std::fflush(stdout);
  std::string text = message;
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  std::fprintf(stderr, "mvsdk-live: %s: %s\n", step.c_str(), text.c_str());
  return 1;
}

}  // namespace mvsdk::live
