// mvsdk-convert: converts an audio file through the whole kit, as a host application would.
//
//   mvsdk-convert [options] INPUT OUTPUT
//   mvsdk-convert [--service URL --token T] --list-voices
//
// Without --service it runs the local service inside the process, over synthetic (untrained)
// voices made once into the kit's data folder. See usage_text() in options.cpp for the options.
// Exit status: 0 done, 1 a step failed (one line on stderr says which and why), 2 a bad command
// line, 130 interrupted.
#include <cstdio>
#include <string>
#include <vector>

#include "convert.h"
#include "common/interrupts.h"
#include "options.h"

int main(int argc, char** argv) {
  using namespace mvsdk::convert;
  std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_options(args);
  if (parsed.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "mvsdk-convert: %s\n%s", parsed.error.c_str(), usage_text().c_str());
    return 2;
  }
  return run(*parsed.options, mvsdk::tools::catch_interrupts());
}
