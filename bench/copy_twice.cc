// Baseline for bench/del_bench.py: copies one file onto another twice with
// CopyFileW, about the file work that `del` does (one copy out to the
// temporary file, one rebuild back), without any matching.
//
//   bench_copy_twice <source> <destination>
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_copy_twice <source> <destination>\n");
    return 2;
  }
  for (int i = 0; i < 2; ++i) {
    if (!CopyFileW(argv[1], argv[2], FALSE)) {
      std::fprintf(stderr, "CopyFileW failed: %lu\n", GetLastError());
      return 1;
    }
  }
  return 0;
}
