// mvsdk-convert: converts an audio file through the whole kit, as a host application would.
//
//   mvsdk-convert [options] INPUT OUTPUT
//   mvsdk-convert [--service URL --token T] --list-voices
//
// Without --service it runs the local service inside the process, over synthetic (untrained)
// voices made once into the kit's data folder. See usage_text() in options.cpp for the options.
// Exit status: 0 done, 1 a step failed (one line on stderr says which and why), 2 a bad command
// line, 130 interrupted.
#include <string>
#include <vector>

#include "convert.h"
#include "common/command_line.h"
#include "common/interrupts.h"
#include "mvsdk/log.h"
#include "options.h"

int main(int argc, char** argv) {
  using namespace mvsdk::convert;
  const ParseResult parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
  return mvsdk::tools::finish_main("mvsdk-convert", parsed, usage_text(), [](const Options& options) {
    const int status = run(options, mvsdk::tools::catch_interrupts());
    mvsdk::flushLog();  // --verbose: the kit's last lines before the exit
    return status;
  });
}
