#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
constexpr unsigned long kNoSuchFile = ERROR_FILE_NOT_FOUND;
constexpr unsigned long kAccessDenied = ERROR_ACCESS_DENIED;
#else
constexpr unsigned long kNoSuchFile = ENOENT;
constexpr unsigned long kAccessDenied = EACCES;
#endif

// The words go inside a line of ours: no period or line end of their own.
void ExpectFitsInALine(const NativeString& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), NativeString::npos);
  EXPECT_EQ(text.find('\r'), NativeString::npos);
  EXPECT_NE(text.back(), '.');
  EXPECT_NE(text.back(), ' ');
}

TEST(SystemErrorTextTest, GivesTheSystemsWordsForEachError) {
#ifndef _WIN32
  EXPECT_EQ(SystemErrorText(ENOENT), Native("No such file or directory"));
  EXPECT_EQ(OutOfMemoryReason(), Native("Cannot allocate memory"));
#endif
  for (const NativeString& text :
       {SystemErrorText(kNoSuchFile), SystemErrorText(kAccessDenied), OutOfMemoryReason()}) {
    ExpectFitsInALine(text);
  }
  EXPECT_NE(SystemErrorText(kNoSuchFile), SystemErrorText(kAccessDenied));
}

TEST(SystemErrorTextTest, NamesAnErrorTheSystemHasNoWordsFor) {
  const NativeString text = SystemErrorText(0x2FFFFFFF);
  ExpectFitsInALine(text);
#ifdef _WIN32
  EXPECT_EQ(text, Native("error 805306367"));
#endif
}

}  // namespace
