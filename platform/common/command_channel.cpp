// The part of the command channel's server that does not depend on how
// requests arrive: the main thread's run through the queued requests, whose
// answers the system's side (a socket listener, the spooler window's door)
// hands back to their senders.
// ServePending: the main thread; droppedCount: any thread.
#include "platform/command_channel.h"

namespace plat {

int CommandServer::ServePending() {
  int served = 0;
  for (;;) {
    std::shared_ptr<Pending> next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
      next = queue_.front();
      queue_.pop_front();
      next->taken = true;
    }
    LRESULT result = handler_ ? handler_(next->request.message,
                                         static_cast<WPARAM>(next->request.wParam),
                                         static_cast<LPARAM>(next->request.lParam))
                              : 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next->result = result;
      next->done = true;
    }
    SignalAnswered();
    ++served;
  }
  return served;
}

int CommandServer::droppedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace plat
