// startup_threads: the empty program of startup_floor, built the same way,
// that also starts three threads and joins them, each ending at once. Every
// start of the spooler starts three (the command channel's listener, the
// stop signals' and the print thread) before it knows whether its queue
// holds a job; bench_report times this beside the floor and the programs,
// so that the start-up rows tell what of a spooler's start the threads
// themselves cost on the machine.
#include <thread>

int main() {
  std::thread threads[] = {std::thread([] {}), std::thread([] {}), std::thread([] {})};
  for (std::thread& thread : threads) thread.join();
  return 0;
}
