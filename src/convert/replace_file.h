#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/native_text.h"

/// The new outputs of a run, each written to a new file beside its output as
/// its pair is converted, then put in place together by Commit: flushed to
/// the disk, renamed over their outputs in the order they were written, and
/// the folder's new names flushed too. This is what the tool promises: after
/// a power cut or a crash at any moment, every output holds either its
/// earlier content or the whole new one; once Commit tells that an output is
/// in place, it and its name are on the disk. No output is renamed before its
/// bytes are on the disk, and a read-only file is never replaced. So that no
/// other run takes a new file for a leftover, it is held until it is renamed
/// or removed: on POSIX by an open file description lock (F_OFD_SETLK) on all
/// of it; on Windows by a handle that shares nothing, closed just before the
/// move, which the system refuses on a file still open. What a group holds is
/// names and open files, never the outputs' bytes.
class OutputGroup {
 public:
  OutputGroup() = default;
  OutputGroup(const OutputGroup&) = delete;
  OutputGroup& operator=(const OutputGroup&) = delete;
  /// Removes the new files that were not committed.
  ~OutputGroup();

  /// Writes `size` bytes of `data` to a new file that is to replace the file
  /// at `path`; every path of one group lies in one folder. False on any
  /// failure, with the new file removed and `path` left as it was.
  bool Write(const NativeString& path, const void* data, std::size_t size);

  /// How many new files a group may hold open at once: on POSIX about half
  /// of what the process's limit on open files leaves, at least one.
  static std::size_t MaxOpenFiles();

  /// How many new files wait for Commit, and how many bytes they hold.
  std::size_t size() const { return files_.size(); }
  std::size_t bytes() const { return bytes_; }

  /// Puts the new files in place and empties the group: element k tells
  /// whether the kth new file written is in place and on the disk. A failed
  /// flush renames none of them; each one not in place is removed, and its
  /// output left as it was.
  std::vector<bool> Commit();

 private:
  struct NewFile {
    NativeString temporary;
    NativeString path;
    std::intptr_t handle;  ///< A file descriptor on POSIX, a HANDLE on Windows.
  };
  void Remove(const NewFile& file);

  std::vector<NewFile> files_;
  std::size_t bytes_ = 0;
};

/// Replaces the file at `path` with `size` bytes of `data` as a group of one.
inline bool ReplaceFileContents(const NativeString& path, const void* data, std::size_t size) {
  OutputGroup group;
  return group.Write(path, data, size) && group.Commit().front();
}

/// Who is told of each new file of an OutputGroup: `made` once it exists,
/// `gone` once it was renamed into place or removed, each with its path. The
/// run driver points these at what ends the program on a signal or a
/// console event, so that no new file outlives it. Nobody is told by default.
struct NewFileWatch {
  void (*made)(const NativeString& path) = nullptr;
  void (*gone)(const NativeString& path) = nullptr;
};

/// Sets who is told; called once, before any replace.
void WatchNewFiles(const NewFileWatch& watch);
