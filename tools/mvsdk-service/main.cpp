// mvsdk-service: a local stand-in for the cloud service, for development, tests and the demo.
//
//   mvsdk-service --root DIR [--port N] [--token T] [--log FILE] [--catalogue FILE]
//
// Serves the service calls under "/api/sdkra/", DIR's files under "/files/", and the catalogue
// of DIR/catalogue.json (or of FILE, or one built from DIR's files) with its references made
// absolute. Port 0 (the default) lets the system pick; the first line printed is
// "listening on http://127.0.0.1:PORT". SIGTERM or SIGINT stops it.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/service.h"

namespace {

int usage(const char* msg) {
  std::fprintf(stderr, "mvsdk-service: %s\n", msg);
  std::fprintf(stderr,
               "usage: mvsdk-service --root DIR [--port N] [--token T] [--log FILE] "
               "[--catalogue FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  mvsdk::service::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    const char* value = nullptr;
    if (arg == "--root" && (value = next("--root"))) {
      options.root = value;
    } else if (arg == "--port" && (value = next("--port"))) {
      std::int64_t port = 0;
      if (!mvsdk::tools::parse_int(value, port)) return usage("--port takes a number");
      if (port < 0 || port > 65535) return usage("--port out of range");
      options.port = static_cast<int>(port);
    } else if (arg == "--token" && (value = next("--token"))) {
      options.token = value;
    } else if (arg == "--log" && (value = next("--log"))) {
      options.log = value;
    } else if (arg == "--catalogue" && (value = next("--catalogue"))) {
      options.catalogue = value;
    } else if (arg == "--help" || arg == "-h") {
      return usage("local cloud service");
    } else {
      return usage(("unknown or incomplete argument: " + arg).c_str());
    }
  }
  if (options.root.empty()) return usage("--root is required");
  std::error_code ec;
  if (!std::filesystem::is_directory(options.root, ec)) return usage("--root is not a directory");

  // Signals are taken by one thread with sigwait, which may then stop the server safely.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  mvsdk::service::Service service(options);
  if (!service.bind()) {
    std::fprintf(stderr, "mvsdk-service: cannot bind 127.0.0.1:%d\n", options.port);
    return 1;
  }
  if (const std::string problem = service.load_catalogue(); !problem.empty()) {
    std::fprintf(stderr, "mvsdk-service: %s\n", problem.c_str());
    return 1;
  }
  std::printf("listening on %s\n", service.base_url().c_str());
  std::fflush(stdout);

  std::thread waiter([&service, signals] {
    int sig = 0;
    sigwait(&signals, &sig);
    service.stop();
  });
  const bool ok = service.listen();
  // listen() also returns when binding fails later; wake the waiter in every case.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return ok ? 0 : 1;
}
