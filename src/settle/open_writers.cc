#include "settle/open_writers.h"

#include <algorithm>

WriterCheck WriterOf(const OpenWriters& writers, const InputFile& file) {
  const std::uint64_t inode = file.InodeNumber();
  if (std::ranges::none_of(writers.files,
                           [&](const FileIdentity& writer) { return writer.inode == inode; })) {
    return writers.complete ? WriterCheck::kNone : WriterCheck::kUnknown;
  }
  const FileIdentity identity = file.Identity();
  if (identity == FileIdentity{}) {
    return WriterCheck::kUnknown;
  }
  return WriterOf(writers, identity);
}

WriterCheck WriterOf(const OpenWriters& writers, const FileIdentity& file) {
  if (std::ranges::binary_search(writers.files, file)) {
    return WriterCheck::kOpen;
  }
  return writers.complete ? WriterCheck::kNone : WriterCheck::kUnknown;
}
