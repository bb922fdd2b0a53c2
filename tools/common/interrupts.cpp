#include "interrupts.h"

#include <csignal>

namespace mvsdk::tools {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_signal(int) { g_interrupted.store(true); }

}  // namespace

std::atomic<bool>& catch_interrupts() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return g_interrupted;
}

}  // namespace mvsdk::tools
