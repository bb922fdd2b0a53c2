// Minimal host: links against the installed kit and reports its version.
#include <cstdio>

#include <mvsdk/version.h>

int main() {
  std::printf("mvsdk %s\n", MVSDK_VERSION_STRING);
  return 0;
}
