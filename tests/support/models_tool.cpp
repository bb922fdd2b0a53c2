#include "support/models_tool.h"

#include <sys/wait.h>

#include <cstdio>
#include <mutex>

#include "support/synthetic_models.h"
#include "support/tool_launch.h"

namespace mvsdk::test {

ToolRun run_models_tool(const std::filesystem::path& dir, std::uint64_t seed, int voices,
                        const std::string& extra) {
  ToolRun run;
  const std::string cmd =
      launch_command(tool_path("mvsdk-models"), {"--out", dir.string(), "--seed", std::to_string(seed),
                                                 "--voices", std::to_string(voices)}) +
      (extra.empty() ? "" : " " + extra) + " 2>&1";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.output.append(buf, n);
  const int status = ::pclose(p);
  if (status != -1 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

const std::filesystem::path& synthetic_model_folder() {
  static std::once_flag once;
  static std::filesystem::path folder;
  std::call_once(once, [] {
    const auto dir = temp_dir("synthetic") / "models";
    if (run_models_tool(dir, 1, 2).status == 0) folder = dir;
  });
  return folder;
}

}  // namespace mvsdk::test
