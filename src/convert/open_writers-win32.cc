#include <algorithm>

#include "convert/open_writers.h"

// Windows offers no look at another program's open files that never holds
// up its writer: the program sees no writer there.
OpenWriters FindOpenWriters(const std::string&) { return {}; }

WriterCheck WriterOf(const OpenWriters& writers, const FileIdentity& file) {
  if (std::ranges::binary_search(writers.files, file)) {
    return WriterCheck::kOpen;
  }
  return writers.complete ? WriterCheck::kNone : WriterCheck::kUnknown;
}
