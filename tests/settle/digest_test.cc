#include "settle/digest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Digest DigestOfText(const std::string& text) {
  return DigestOf(std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

// Two reads are told apart by their digests alone: a change of one byte
// anywhere, past the first read's 204800 bytes too, or of the length alone,
// gives another digest; the same bytes give the same one.
TEST(DigestOf, TellsEveryChangeApart) {
  const std::string version(300 << 10, 'x');
  const Digest digest = DigestOfText(version);
  EXPECT_EQ(DigestOfText(version), digest);
  for (const std::size_t at : {std::size_t{0}, std::size_t{204799}, std::size_t{204800},
                               std::size_t{250000}, version.size() - 1}) {
    std::string changed = version;
    changed[at] = 'y';
    EXPECT_NE(DigestOfText(changed), digest) << "a change at " << at;
  }
  EXPECT_NE(DigestOfText(version + '\0'), digest);
  EXPECT_NE(DigestOfText(version.substr(1)), digest);
  EXPECT_NE(DigestOfText(""), DigestOfText(std::string(1, '\0')));
}

}  // namespace
