// startup_floor: an empty C++ program, built by the same compiler with the
// same flags as the programs. bench_report times its start beside theirs:
// what any program pays on this machine before main, the floor of the
// start-up rows.
int main() { return 0; }
