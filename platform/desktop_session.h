// Whether the calling process runs where a user can see its windows and
// answer its boxes: a desktop session, as opposed to a service, a login
// without a display or a job of the print service. The driver starts the
// desktop spooler in the first case and the headless one, which answers
// faults by a policy, in the others.
// Any thread (reads the environment or asks the system; nothing is kept).
#pragma once

namespace plat {

bool HasInteractiveDesktop();

}  // namespace plat
