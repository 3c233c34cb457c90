// The queue file's test seam: an observer of every TakeNextJob, so that a
// test can play a driver that appends at an exact point of a run.
// Production code never includes this header; only tests install an
// observer.
// Any thread that takes jobs calls the observer; a test thread installs it.
#pragma once

#include <functional>

// `observer` is called after every TakeNextJob with its result, on the
// calling thread (with g_csSpooler held if the caller holds it). Empty: no
// observer (the default). Install it before the threads that take jobs start
// and remove it after they have ended.
using TakeNextJobObserver = std::function<void(bool taken)>;
void SetTakeNextJobObserver(TakeNextJobObserver observer);
