// Baseline of the `add` benchmark: a process that starts and ends at once,
// linked like varnick.exe (static C++ runtime, wide entry point), so what it
// measures is Wine's process start and the C runtime's.
int wmain() { return 0; }
