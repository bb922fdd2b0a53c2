// mvsdk-soak: a long run of the whole kit under changing voices, restarts and tone changes, with
// a check of every buffer and of the resident memory. See usage_text() in options.cpp.
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/interrupts.h"
#include "mvsdk/log.h"
#include "options.h"
#include "soak.h"

int main(int argc, char** argv) {
  using namespace mvsdk::soak;
  const ParseResult parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  return mvsdk::tools::finish_main("mvsdk-soak", parsed, usage_text(), [](const Options& options) {
    const int status = run(options, mvsdk::tools::catch_interrupts());
    mvsdk::flushLog();  // --verbose: the kit's last lines before the exit
    return status;
  });
}
