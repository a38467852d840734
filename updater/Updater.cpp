#include "updater/Updater.h"

Updater::Updater(const char* url, const char* path, UpdaterDisplayInterface& disp)
    : serverUrl(url ? url : ""), storePath(path ? path : ""), display(disp) {}
