#include "driver/pairing.h"

#include <gtest/gtest.h>

namespace {

struct PairingCase {
  const char* settings_name;
  const char* character_name;  // nullptr: no settings-file marker
};

class Pairing : public ::testing::TestWithParam<PairingCase> {};

TEST_P(Pairing, RemovesTheFirstMarkersSc) {
  const std::optional<NativeString> paired = PairedCharacterName(Native(GetParam().settings_name));
  if (GetParam().character_name == nullptr) {
    EXPECT_FALSE(paired.has_value());
  } else {
    ASSERT_TRUE(paired.has_value());
    EXPECT_EQ(*paired, Native(GetParam().character_name));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, Pairing,
    ::testing::Values(PairingCase{"Alice@Server1_sc.tmp", "Alice@Server1.tmp"},
                      PairingCase{"x_sc.tmp.bak", "x.tmp.bak"},
                      PairingCase{"x_sc.tmp_sc.tmp", "x.tmp_sc.tmp"},
                      PairingCase{"_sc.tmp", ".tmp"},
                      PairingCase{"/a_sc.tmp/cache/B_sc.tmp", "/a.tmp/cache/B_sc.tmp"},
                      PairingCase{"Bob@Srv2_SC.TMP", nullptr},
                      PairingCase{"Bob@Srv2_sc.tm", nullptr}, PairingCase{"sc.tmp", nullptr},
                      PairingCase{"", nullptr}));

TEST(BaseNameTest, TakesTheTextAfterTheLastSeparator) {
  const NativeString sep(1, kPathSeparator);
  EXPECT_EQ(BaseName(Native("a") + sep + Native("b") + sep + Native("c_sc.tmp")),
            Native("c_sc.tmp"));
  EXPECT_EQ(BaseName(Native("c_sc.tmp")), Native("c_sc.tmp"));
  EXPECT_EQ(BaseName(Native("dir") + sep), Native(""));
#ifdef _WIN32
  // Only the backslash separates: a forward slash stays in the name.
  EXPECT_EQ(BaseName(Native("D:/in/Bob@Srv2_sc.tmp")), Native("D:/in/Bob@Srv2_sc.tmp"));
#else
  EXPECT_EQ(BaseName(Native("D:\\in\\Bob@Srv2_sc.tmp")), Native("D:\\in\\Bob@Srv2_sc.tmp"));
#endif
}

}  // namespace
