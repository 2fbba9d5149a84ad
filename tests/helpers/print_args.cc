// Test helper: writes each of its arguments, as the C runtime parsed them,
// between < and > on a line of its own in UTF-8, so that a test can see
// exactly what reached a program through a batch file.
//
//   print_args [ARG ...]
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), size, nullptr, nullptr);
    std::printf("<%s>\n", text.c_str());
  }
  return 0;
}
