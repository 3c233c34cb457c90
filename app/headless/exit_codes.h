// The exit codes of kelvane-headless, for whoever runs it and must tell a
// printed job from one that was not (the print service's backend).
// Plain constants; any thread.
#pragma once

namespace headless {

// A normal close, or another spooler runs (it prints the queue).
inline constexpr int kExitNormal = 0;
// The start failed: a bad command line, or a home whose files are unsafe or
// unreadable (the reason is on standard error).
inline constexpr int kExitStartFailed = 2;
// A normal close, but a job that could never print (a spool file missing or
// unreadable) was set aside unprinted with nobody there to answer for it.
inline constexpr int kExitJobsSetAside = 3;

}  // namespace headless
