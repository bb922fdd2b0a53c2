#pragma once
// What mvsdk-live prints: information lines on stdout, one status line refreshed in place on a
// terminal (a plain line each time otherwise), and the one failure line on stderr.
//
// Threads: the owner thread only (the download progress printer keeps to its own lines and runs
// before the status line is first drawn).
#include <string>

namespace mvsdk::live {

class Console {
 public:
  Console(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}
  ~Console() { end_status(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // One line (nothing with --quiet). On a terminal the status line is cleared first and drawn
  // again below it.
  void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The status line: redrawn in place on a terminal, else printed as a line.
  void status(const std::string& line);
  // Leaves the status line drawn so far in place and goes to the next line.
  void end_status();
  // "mvsdk-live: STEP: MESSAGE" on stderr (always, also with --quiet); returns 1.
  int fail(const std::string& step, const std::string& message);

 private:
  bool quiet_;
  bool terminal_;
  bool drawn_ = false;   // a status line stands on the terminal's last line
  std::string last_;     // the status line drawn last
};

}  // namespace mvsdk::live
