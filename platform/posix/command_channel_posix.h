// The command channel's peer check on a Unix socket: only the same user
// may reach the spooler.
// Any thread.
#pragma once

#include <sys/types.h>

#include "platform/command_channel.h"

namespace plat {

// The peer check: true only for a peer running as `ownUid`.
bool IsSameUser(uid_t peerUid, uid_t ownUid);
// The uid of a connected Unix socket's peer (SO_PEERCRED); false when the
// kernel does not tell.
bool GetPeerUid(int socketFd, uid_t& uid);

}  // namespace plat
