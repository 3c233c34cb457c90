// The simulated printer's control client on Windows: there are no "sim:"
// sockets here (a --tcp printer takes commands on its control port).
// Any thread.
#include "platform/sim_control.h"

namespace plat {

SimControlResult SendSimControl(const std::string&, const std::string&, std::string&,
                                std::string& error) {
  error = "Windows has no sim: sockets";
  return SimControlResult::BadAddress;
}

}  // namespace plat
