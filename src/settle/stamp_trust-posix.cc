#include <sys/vfs.h>

#include <cstdint>

#include "settle/input_file.h"
#include "settle/stamp_trust.h"

StampTrust InputFile::Trust() const {
  struct statfs info;
  if (handle_ < 0 || fstatfs(static_cast<int>(handle_), &info) != 0) {
    return StampTrust::kUntrusted;
  }
  return TrustOfLinuxFileSystem(static_cast<std::uint64_t>(info.f_type));
}
