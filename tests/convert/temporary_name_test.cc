#include "convert/temporary_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(TemporaryNameTest, NamesTheProcessAndTheCountBesideTheOutput) {
  EXPECT_EQ(TemporaryNameFor(Native("ui.7.xml"), 4242, 3), Native("ui.7.xml.4242-3.part"));
  EXPECT_EQ(TemporaryFileOwner(TemporaryNameFor(Native("ui.-7.xml"), 0xFFFFFFFF, 0xFFFFFFFF)),
            0xFFFFFFFFu);
}

struct NameCase {
  const char* name;
  std::optional<std::uint32_t> owner;
};

// Only what a replace itself names is ever taken for its leftover.
TEST(TemporaryNameTest, KnowsItsOwnNamesExactly) {
  const NameCase cases[] = {
      {"ui.7.xml.12-0.part", 12},
      {"ui.-9223372036854775808.xml.12-34.part", 12},
      {"ui.4783975109230591.xml.4294967295-4294967295.part", 4294967295u},
      {"ui.7.xml.0-0.part", std::nullopt},
      {"ui.7.xml.4294967296-0.part", std::nullopt},
      {"ui.7.xml.12-4294967296.part", std::nullopt},
      {"ui.12345678901234567890.xml.12-0.part", std::nullopt},
      {"ui.7.xml.12-0.part.bak", std::nullopt},
      {"ui.7.xml.12-0.PART", std::nullopt},
      {"UI.7.xml.12-0.part", std::nullopt},
      {"ui.7.xml.12.part", std::nullopt},
      {"ui.7.xml.-12-0.part", std::nullopt},
      {"ui.7.xml.12--0.part", std::nullopt},
      {"ui.7.xml.12-0-1.part", std::nullopt},
      {"ui..xml.12-0.part", std::nullopt},
      {"ui.-.xml.12-0.part", std::nullopt},
      {"ui.+7.xml.12-0.part", std::nullopt},
      {"ui.7.txt.12-0.part", std::nullopt},
      {"xui.7.xml.12-0.part", std::nullopt},
      {"ui.7.xml", std::nullopt},
      {"ui.7.xml.12-0.", std::nullopt},
      {"", std::nullopt},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(TemporaryFileOwner(Native(c.name)), c.owner) << c.name;
  }
}

}  // namespace
