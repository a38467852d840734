// The program's identity lines and its usage text.
#ifndef CORVALITH_APP_USAGE_H
#define CORVALITH_APP_USAGE_H

#include <string>

// "Version: X.Y.Z <build date>", the text inside the version line's brackets.
std::string VersionText();
// "Updater (Version: ...)".
std::string VersionLine();
// One line in parentheses naming the maker and the years up to the build year.
std::string MakerNotice();
// The short form is the header alone; the long form adds the parameter and
// command blocks and the samples, the extended blocks only when asked for.
std::string UsageText(bool longForm, bool extended);

#endif
