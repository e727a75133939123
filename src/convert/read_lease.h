#pragma once

#include "convert/file_io.h"

/// Linux read leases, which tell whether another process holds a file open
/// for writing and which one that opens it later breaks. The break arrives
/// as SIGIO, the one signal the conversion handles: its handler, installed
/// before the first lease, gives up each broken lease at once.

/// Takes a read lease on `fd`, a regular file opened read-only: kNone when
/// it is granted, kOpen when a process holds the file open for writing (or
/// is opening it so), kUnknown when the system refuses a lease for any other
/// reason (a file of another user, a file system without leases).
WriterCheck TakeReadLease(int fd);

/// Gives up the lease taken on `fd`; false when a writer broke it meanwhile.
bool GiveUpReadLease(int fd);
