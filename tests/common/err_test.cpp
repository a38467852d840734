#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

#include "common/aErr.h"

namespace {

// Every code by its identifier, so a row out of place in the table shows up
// as a name that does not match its number.
#define CV_CODE(code) \
  { code, #code }
const struct {
  aErr code;
  const char* name;
} kCodes[] = {
    CV_CODE(aErrNone),
    CV_CODE(aErrMemory),
    CV_CODE(aErrParam),
    CV_CODE(aErrNotFound),
    CV_CODE(aErrFileNameLength),
    CV_CODE(aErrBusy),
    CV_CODE(aErrIO),
    CV_CODE(aErrMode),
    CV_CODE(aErrWrite),
    CV_CODE(aErrRead),
    CV_CODE(aErrEOF),
    CV_CODE(aErrNotReady),
    CV_CODE(aErrPermission),
    CV_CODE(aErrRange),
    CV_CODE(aErrSize),
    CV_CODE(aErrOverrun),
    CV_CODE(aErrParse),
    CV_CODE(aErrConfiguration),
    CV_CODE(aErrTimeout),
    CV_CODE(aErrInitialization),
    CV_CODE(aErrVersion),
    CV_CODE(aErrUnimplemented),
    CV_CODE(aErrDuplicate),
    CV_CODE(aErrCancel),
    CV_CODE(aErrPacket),
    CV_CODE(aErrConnection),
    CV_CODE(aErrIndexRange),
    CV_CODE(aErrShortCommand),
    CV_CODE(aErrInvalidEntity),
    CV_CODE(aErrInvalidOption),
    CV_CODE(aErrResource),
    CV_CODE(aErrMedia),
    CV_CODE(aErrAsyncReturn),
    CV_CODE(aErrStreamStale),
    CV_CODE(aErrUnknown),
};
#undef CV_CODE

TEST(ErrTest, EveryCodeHasItsOwnNameAndADescription) {
  std::set<std::string> descriptions;
  unsigned expected = 0;
  for (const auto& row : kCodes) {
    EXPECT_EQ(row.code, expected++) << row.name << " is out of order";
    EXPECT_STREQ(aError_GetErrorText(row.code), row.name);
    const std::string description = aError_GetErrorDescription(row.code);
    EXPECT_FALSE(description.empty()) << row.name;
    EXPECT_TRUE(descriptions.insert(description).second) << "duplicate description " << description;
  }
  EXPECT_EQ(expected, 35u);
}

TEST(ErrTest, DescriptionsUsersSeeAreExact) {
  EXPECT_STREQ(aError_GetErrorDescription(aErrTimeout), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorDescription(18), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorDescription(aErrNone), "Success, no error");
  EXPECT_STREQ(aError_GetErrorDescription(aErrNotReady), "Not ready, no bytes available");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Corvalith command to short");
  EXPECT_STREQ(aError_GetErrorDescription(aErrCancel), "Cancellation occurred, or did not complete");
  EXPECT_STREQ(aError_GetErrorDescription(aErrStreamStale), "Stream value is stale");
}

TEST(ErrTest, UnknownCodesReadAsTheLastRow) {
  for (unsigned code : {35u, 200u, 255u, 256u, UINT_MAX}) {
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown") << code;
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error") << code;
  }
}

}  // namespace
