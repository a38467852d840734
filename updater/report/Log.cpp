#include "updater/report/Log.h"
