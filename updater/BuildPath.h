// Path joining for the updater's own file handling.
#ifndef CORVALITH_UPDATER_BUILDPATH_H
#define CORVALITH_UPDATER_BUILDPATH_H

#include <string>

// first, then a separator and each further part; the list ends with a null.
// The separator is always inserted ("/a/" + "b" gives "/a//b"), any number of
// parts is accepted and no length is checked. A null first part gives "".
std::string BuildPath(const char* first, ...);

#endif
