#include "settle/open_writers.h"

#include <algorithm>

WriterCheck WriterOf(const OpenWriters& writers, const FileIdentity& file) {
  if (std::ranges::binary_search(writers.files, file)) {
    return WriterCheck::kOpen;
  }
  return writers.complete ? WriterCheck::kNone : WriterCheck::kUnknown;
}
