// mvsdk-soak: a long run of the whole kit under changing voices, restarts and tone changes, with
// a check of every buffer and of the resident memory. See usage_text() in options.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "common/interrupts.h"
#include "options.h"
#include "soak.h"

int main(int argc, char** argv) {
  using namespace mvsdk::soak;
  std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_options(args);
  if (parsed.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "mvsdk-soak: %s\n%s", parsed.error.c_str(), usage_text().c_str());
    return 2;
  }
  return run(*parsed.options, mvsdk::tools::catch_interrupts());
}
