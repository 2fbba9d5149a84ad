// Baseline of the `del` benchmark: the file work of `del` with plain
// CopyFileW and no matching. The source is copied once to the first
// destination (del's temporary copy) and once to the second (the rebuilt
// file). With --flush the second copy is then flushed to the disk with
// FlushFileBuffers, as `del` flushes the file that replaces the hosts file.
//
//   bench_copy_twice [--flush] <source> <first_copy> <second_copy>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "flush_file.h"

using bench::flushFile;

int wmain(int argc, wchar_t** argv) {
  bool flush = argc > 1 && std::wcscmp(argv[1], L"--flush") == 0;
  wchar_t** paths = argv + (flush ? 2 : 1);
  if (argc - (flush ? 2 : 1) != 3) {
    std::fprintf(stderr, "usage: bench_copy_twice [--flush] <source> <first_copy> <second_copy>\n");
    return 2;
  }
  for (int i = 1; i <= 2; ++i) {
    if (!CopyFileW(paths[0], paths[i], FALSE)) {
      std::fprintf(stderr, "CopyFileW failed: %lu\n", GetLastError());
      return 1;
    }
  }
  if (flush && !flushFile(paths[2])) {
    std::fprintf(stderr, "FlushFileBuffers failed: %lu\n", GetLastError());
    return 1;
  }
  return 0;
}
