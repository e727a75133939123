#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>

#include "base/native_text.h"

/// What tells one version of a file from the next: its size, the time of
/// its last write and the time of its last change, in the platform's own
/// units. The change time moves with every write too. On the Linux file
/// systems that StampTrust trusts no program can set it back, so it tells a
/// rewrite whose write time was set back; on NTFS a program can, through
/// SetFileInformationByHandle, though copy and restore tools set only the
/// other times; on FAT and exFAT it is the write time, and any program sets
/// both. Neither time tells a second change within one step of the file
/// system's clock: a write sets both to one value.
struct FileStamp {
  std::int64_t size = -1;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  bool operator==(const FileStamp&) const = default;
};

/// Whether a file system's stamps show every write. Only a local file system
/// whose change time the system keeps, which no copy or restore tool sets
/// back, and whose times come from this machine's clock is trusted: there an old stamp
/// that holds across a read proves the read saw one whole version. FAT and
/// exFAT (whose change time is the write time, which any program can set),
/// FUSE, network shares, and any file system the program does not know are
/// not.
enum class StampTrust { kUntrusted, kTrusted };

/// Whether another program holds a file open for writing.
enum class WriterCheck {
  kNone,  ///< Nobody the program can see does.
  kOpen,  ///< Somebody does: the file may be in the midst of a save.
};

/// A file by its Linux device and inode number, as the census of open
/// writers tells files (see OpenWriters), under Wine too; all zero where the
/// system gives none (Windows).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

/// How long ago, by the system's clock, a time of a FileStamp (`modified`
/// or `changed`) was, in nanoseconds; negative for a time in the future.
std::int64_t NanosecondsSince(std::int64_t stamp_time);

/// A folder opened once, so that files opened within it are the files of
/// that folder however its path changes meanwhile: a drive mounted over it,
/// or a folder renamed away and another put in its place.
class InputFolder {
 public:
  InputFolder() = default;
  ~InputFolder();
  InputFolder(const InputFolder&) = delete;
  InputFolder& operator=(const InputFolder&) = delete;

  /// False when `path` names no folder that can be opened.
  bool Open(const NativeString& path);

 private:
  friend class InputFile;
  std::intptr_t handle_ = -1;
};

/// A regular file opened for reading raw bytes. Other programs (the game
/// client) may keep it open for reading, writing or deleting meanwhile.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// False when `path` names nothing that can be opened as a regular file:
  /// a missing file, a folder, a device, a file without read permission.
  bool Open(const NativeString& path);

  /// The same for the file named `name` in `folder`, whatever now lies at
  /// the folder's path.
  bool Open(const InputFolder& folder, const NativeString& name);

  /// The stamp taken when the file was opened.
  const FileStamp& OpenedStamp() const { return stamp_; }

  /// The file's stamp now; its size is -1 when it cannot be taken.
  FileStamp CurrentStamp() const;

  /// Whether the file system that holds the file keeps stamps that can be
  /// trusted (see StampTrust).
  StampTrust Trust() const;

  /// The file's device and inode, as the census of open writers names it;
  /// all zero when that cannot be told.
  FileIdentity Identity() const;

  /// The file's inode number, as its open found it (under Wine, Linux's);
  /// 0 where the system gives none. Unlike Identity, it costs next to
  /// nothing.
  std::uint64_t InodeNumber() const;

  /// Reads up to `size` bytes from `offset` into `buffer` and returns how many
  /// arrived, fewer only where the file ends; -1 when a read fails, since
  /// the bytes are then not the file's.
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t size);

 private:
  void Close();
#ifdef _WIN32
  /// Takes a handle just opened: false, and closes it, unless it is a file
  /// on a disk.
  bool Take(std::intptr_t handle);
#else
  bool OpenAt(int folder_fd, const NativeString& path);
#endif

  std::intptr_t handle_ = -1;
  FileStamp stamp_;  ///< Taken by Open, which looks at the file anyway.
  std::uint64_t inode_ = 0;
};
