// Whole-buffer writes to a descriptor, for every writer of the POSIX bodies:
// files (the temporary beside the one it will replace, an edit in place),
// and sockets that must not outlast a deadline (the command channel, the
// simulated printer's wire). Also the descriptor-level pieces of the
// rewrite-beside-and-rename pattern, for POSIX code that streams a file
// rather than holding it in memory. Bodies in
// platform/posix/descriptor_io.cpp.
// Any thread; each call works on the descriptor it is given.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace plat {

// Writes all of `data`, advancing over partial writes; false with errno set
// (ENOSPC for a write that takes nothing). Like the system calls it wraps,
// it reports by errno, not by the thread's last error.
bool WriteAllToDescriptor(int fd, const void* data, std::size_t size);
// The same at `offset` of the file (pwrite(2)): the descriptor's position
// stays where it was.
bool WriteAllToDescriptorAt(int fd, std::uint64_t offset, const void* data, std::size_t size);
// The same on a non-blocking socket, waiting for room until `deadline`:
// 0, or an errno (ETIMEDOUT when the peer stopped reading, EPIPE when it
// went away). The socket is never a cause of SIGPIPE.
int WriteAllToSocketBy(int fd, const void* data, std::size_t size,
                       std::chrono::steady_clock::time_point deadline);
// Copies what `source` holds from its position to the end of the file onto
// `fd` at fd's position, inside the kernel where the file systems allow it
// (no pass through our memory), else through a buffer. Both positions end
// after the copied bytes. The disk is set to work on the copied part as the
// copy goes, for a caller that syncs `fd` next. False with the last error
// set when a read or a write fails; `copied` (when given) says how many
// bytes went over.
bool CopyHandleToDescriptor(HANDLE source, int fd, std::uint64_t* copied = nullptr);

}  // namespace plat
