// Descriptor-level pieces of the rewrite-beside-and-rename pattern, for
// POSIX code that streams a file rather than holding it in memory: the
// descriptor is the temporary file beside the one it will replace.
// Any thread; each call works on the descriptor it is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace plat {

// Writes all of `data`, advancing over partial writes; false with errno set.
bool WriteAllToDescriptor(int fd, const void* data, std::size_t size);
// Copies what `source` holds from its position to the end of the file onto
// `fd` at fd's position, inside the kernel where the file systems allow it
// (no pass through our memory), else through a buffer. Both positions end
// after the copied bytes. The disk is set to work on the copied part as the
// copy goes, for a caller that syncs `fd` next. False with the last error
// set when a read or a write fails; `copied` (when given) says how many
// bytes went over.
bool CopyHandleToDescriptor(HANDLE source, int fd, std::uint64_t* copied = nullptr);

}  // namespace plat
