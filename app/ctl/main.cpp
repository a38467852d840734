#include <cstdio>
#include <string>

#include "Ctl.h"

int main(int argc, char** argv) {
  CtlOptions options;
  std::string error;
  if (!ParseCtlArguments(argc, argv, &options, &error)) {
    std::fprintf(stderr, "Error: %s\n%s", error.c_str(), CtlUsage().c_str());
    return 1;
  }
  if (options.help) {
    std::fputs(CtlUsage().c_str(), stdout);
    return 0;
  }
  return RunCtl(options);
}
