// mvsdk-live: a JACK client that converts its input into a voice of the kit's catalogue, live.
//
//   mvsdk-live [options]
//
// Without --service it runs the local service inside the process, over synthetic (untrained)
// voices made once into the kit's data folder, as mvsdk-convert does. See usage_text() in
// options.cpp for the options and the commands it reads from standard input.
// Exit status: 0 after `quit`, 1 a step failed or the JACK server went away (one line on stderr
// says which and why), 2 a bad command line, 130 interrupted.
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/interrupts.h"
#include "live.h"
#include "mvsdk/log.h"
#include "options.h"

int main(int argc, char** argv) {
  using namespace mvsdk::live;
  const ParseResult parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  return mvsdk::tools::finish_main("mvsdk-live", parsed, usage_text(), [](const Options& options) {
    const int status = run(options, mvsdk::tools::catch_interrupts());
    mvsdk::flushLog();
    return status;
  });
}
