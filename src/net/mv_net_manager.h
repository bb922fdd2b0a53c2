#pragma once
// MVNetManager: a small login manager that logs in on its own (the SDK facade runs its own
// sequence through MVNetRequest and does not use it).
//
// One instance per process (sharedManager()). Completions run on the main queue, except the
// immediate answers for a missing token, which run on the calling thread before the call
// returns. The configuration may be replaced from any thread.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace mvsdk {

class MVNetManager {
 public:
  // The part of the host's configuration this manager reads. The facade's configuration lives
  // in a layer above this one, so it hands over its token through this record.
  struct Config {
    std::string token;
  };
  using Completion = std::function<void(std::int64_t code)>;

  static MVNetManager& sharedManager();

  Config engineConfig() const;
  void setEngineConfig(Config config);

  // Logs in with the configuration's token: 3 at once without a token; 0 on success; 2 on
  // failure, after putting the previous stored authorization back.
  void login(Completion completion);
  // login(), then verifyVersion() and downloadResources() on success; the login's code.
  void prepare(Completion completion);
  // No work is attached to these two steps.
  void verifyVersion() {}
  void downloadResources() {}

  // Logs in with token: -1 at once for an empty token; 0 on success; on failure (after putting
  // the previous stored authorization back) the error code when it lies in 400..499, else -1.
  static void Login(const std::string& token, Completion completion);

 private:
  MVNetManager() = default;
  mutable std::mutex mutex_;
  Config config_;
};

}  // namespace mvsdk
