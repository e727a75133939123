#include "convert/find_byte.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Every length around the block sizes of the search, the byte at every
// position (and nowhere), with the same byte just past the end as a trap:
// the answer must be memchr's.
TEST(FindByte, AgreesWithMemchrAtEveryPositionAndLength) {
  for (std::size_t size = 0; size <= 150; ++size) {
    for (std::size_t at = 0; at <= size; ++at) {
      std::vector<unsigned char> data(size + 1, 'x');
      data[size] = 0;  // Past the end: never to be found.
      if (at < size) {
        data[at] = 0;
        if (at + 5 < size) {
          data[at + 5] = 0;  // A later one must not win.
        }
      }
      const void* expected = std::memchr(data.data(), 0, size);
      ASSERT_EQ(FindByte(data.data(), size, 0), expected) << "size " << size << ", at " << at;
    }
  }
}

TEST(FindByte, FindsHighBytesAndIgnoresTheirNeighbours) {
  const unsigned char data[] = {0x7F, 0x81, 0xFE, 0x80, 0xFF, 0x80};
  EXPECT_EQ(FindByte(data, sizeof data, 0x80), data + 3);
  EXPECT_EQ(FindByte(data, sizeof data, 0xFF), data + 4);
  EXPECT_EQ(FindByte(data, sizeof data, 0x00), nullptr);
}

}  // namespace
