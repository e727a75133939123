#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settle/input_file.h"

// Which files other processes hold open for writing, found by looking, the
// way a process lister does: /proc/<pid>/fd names every open file
// description of a process, and /proc/<pid>/fdinfo tells its open flags, its
// mount and its inode number. Looking takes nothing from a writer: no lease,
// no lock, and neither the files nor the file systems they are on are
// touched, so a hung network or FUSE mount cannot hang the census. The
// Windows program under Wine on Linux reads the same /proc through Wine's
// Unix paths (open_writers-win32.cc); on Windows itself it sees no writer.
//
// What it cannot see: processes of another PID namespace, which this
// program's /proc does not list at all (a container with a /proc of its
// own); processes of other users, unless this program runs as root; and a
// file handed between mount namespaces on a mount that neither namespace
// lists. What it cannot see counts as no writer.

/// The files that other processes hold open for writing, as far as this
/// program may look: every file open for writing (O_WRONLY or O_RDWR) by a
/// process that /proc lists, other than this one (under Wine, whose server
/// opens this program's files, no process is left out), on a file system that a
/// mount table lists (device files such as terminals among them); pipes,
/// sockets and other files of no mounted file system are left out.
struct OpenWriters {
  std::vector<FileIdentity> files;  ///< Sorted, each once.
};

/// Looks through `proc` (the /proc folder; tests may name another) once and
/// returns what it found. Never fails: what it could not look at is left
/// out, as is a process that ends meanwhile.
OpenWriters FindOpenWriters(const std::string& proc = "/proc");

/// The identity, as FindOpenWriters tells files, of the file that `fd` of
/// this process has open; false when `proc` cannot tell it. Linux only.
bool OpenFileIdentity(int fd, FileIdentity& identity, const std::string& proc = "/proc");

/// Under Wine on Linux, the identity of the file of inode number `inode`
/// that this program holds open, from the Wine server's descriptor of it;
/// false when that cannot be told. Windows only.
bool WineOpenFileIdentity(std::uint64_t inode, FileIdentity& identity);

/// kOpen when `file` is among `writers`; kNone otherwise.
WriterCheck WriterOf(const OpenWriters& writers, const FileIdentity& file);

/// The same for an open file, whose identity is asked for (see
/// InputFile::Identity) only when some file among `writers` has its inode
/// number: most files of a scan cost no look at /proc of their own. kUnknown
/// when the identity cannot be told.
WriterCheck WriterOf(const OpenWriters& writers, const InputFile& file);
