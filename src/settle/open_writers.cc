#include "settle/open_writers.h"

#include <algorithm>

WriterCheck WriterOf(const OpenWriters& writers, const InputFile& file) {
  const std::uint64_t inode = file.InodeNumber();
  if (std::ranges::none_of(writers.files,
                           [&](const FileIdentity& writer) { return writer.inode == inode; })) {
    return WriterCheck::kNone;
  }
  const FileIdentity identity = file.Identity();
  // A file that cannot be named is not seen held: its read is judged by
  // its stamp and its end alone.
  if (identity == FileIdentity{}) {
    return WriterCheck::kNone;
  }
  return WriterOf(writers, identity);
}

WriterCheck WriterOf(const OpenWriters& writers, const FileIdentity& file) {
  if (std::ranges::binary_search(writers.files, file)) {
    return WriterCheck::kOpen;
  }
  return WriterCheck::kNone;
}
