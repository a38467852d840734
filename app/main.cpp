#include <cstdio>

#include "app/CLI_Display.h"
#include "app/UpdaterMain.h"

int main(int argc, char* argv[]) {
  CLI_Display display;
  return RunUpdater(argc, argv, display, stderr);
}
