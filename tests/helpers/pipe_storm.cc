// Many clients of the Varnick service's pipe at once, for the tests and the
// benchmark of what a crowd of connections costs and cannot do.
//
//   pipe_storm <pipe> close <n>      n clients (a multiple of 8) that open and
//                                    close at once
//   pipe_storm <pipe> idle <n> <ms>  n silent connections, held <ms>
//   pipe_storm <pipe> add <n> <ms>   n clients that each add
//                                    "127.0.0.1 storm<i>.test" together,
//                                    then hold their entries <ms>
//   pipe_storm <pipe> hello          one hello; prints its milliseconds
//   pipe_storm <pipe> forge          one add whose entry holds CR LF and a
//                                    forged record after it
//
// Prints "opened <k>" (and for add "done <d> refused <r>") on one line.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t* pipeName = nullptr;
HANDLE go = nullptr;
std::atomic<int> opened{0};
std::atomic<int> done{0};
std::atomic<int> refused{0};

// What a standard user may ask of the pipe.
constexpr DWORD kAccess = FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE;

HANDLE openPipe() {
  const ULONGLONG until = GetTickCount64() + 10000;
  for (;;) {
    HANDLE pipe = CreateFileW(pipeName, kAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      ++opened;
      return pipe;
    }
    if (GetLastError() != ERROR_PIPE_BUSY || GetTickCount64() >= until) return pipe;
    if (!WaitNamedPipeW(pipeName, 1000)) Sleep(10);
  }
}

bool sendFrame(HANDLE pipe, unsigned char op, const std::string& operands) {
  const std::size_t size = 1 + operands.size();
  std::string frame = {0, 0, static_cast<char>(size >> 8), static_cast<char>(size),
                       static_cast<char>(op)};
  frame += operands;
  DWORD moved = 0;
  return WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &moved, nullptr) &&
         moved == frame.size();
}

// The status byte of the next reply, or -1.
int replyStatus(HANDLE pipe) {
  unsigned char head[4];
  DWORD got = 0;
  for (DWORD moved = 0; got < 4; got += moved) {
    if (!ReadFile(pipe, head + got, 4 - got, &moved, nullptr) || moved == 0) return -1;
  }
  std::vector<char> body((head[2] << 8) | head[3]);
  got = 0;
  for (DWORD moved = 0; got < body.size(); got += moved) {
    if (!ReadFile(pipe, body.data() + got, static_cast<DWORD>(body.size()) - got, &moved,
                  nullptr) ||
        moved == 0) {
      return -1;
    }
  }
  return body.empty() ? -1 : static_cast<unsigned char>(body[0]);
}

const std::string kHello("\0\0\0\1", 4);

std::string entryOperands(const std::string& entry) {
  return std::string{0, 0, 0, static_cast<char>(entry.size())} + entry;
}

std::string entryOperands(int number) {
  return entryOperands("127.0.0.1 storm" + std::to_string(number) + ".test");
}

struct StormJob {
  int number;
  DWORD holdMs;
};

DWORD WINAPI addOne(void* parameter) {
  const StormJob job = *static_cast<StormJob*>(parameter);
  WaitForSingleObject(go, INFINITE);
  HANDLE pipe = openPipe();
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  if (sendFrame(pipe, 16, kHello) && replyStatus(pipe) == 0 &&
      sendFrame(pipe, 1, entryOperands(job.number))) {
    const int status = replyStatus(pipe);
    if (status == 0) ++done;
    if (status == 1) ++refused;
  }
  Sleep(job.holdMs);
  CloseHandle(pipe);
  return 0;
}

DWORD WINAPI openAndClose(void* count) {
  WaitForSingleObject(go, INFINITE);
  for (int i = 0; i < *static_cast<int*>(count); ++i) {
    HANDLE pipe = openPipe();
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  }
  return 0;
}

void runThreads(int count, LPTHREAD_START_ROUTINE routine, std::vector<StormJob>& jobs, int each) {
  std::vector<HANDLE> threads;
  for (int i = 0; i < count; ++i) {
    void* parameter = jobs.empty() ? static_cast<void*>(&each) : &jobs[i];
    threads.push_back(CreateThread(nullptr, 64 * 1024, routine, parameter,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  }
  SetEvent(go);
  for (HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pipe_storm <pipe> close|idle|add|hello [n] [ms]\n");
    return 2;
  }
  pipeName = argv[1];
  const std::wstring mode = argv[2];
  const int count = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : 1;
  const DWORD holdMs = argc > 4 ? std::wcstoul(argv[4], nullptr, 10) : 0;
  go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<StormJob> jobs;
  if (mode == L"close") {
    constexpr int kThreads = 8;
    int each = (count + kThreads - 1) / kThreads;
    runThreads(kThreads, openAndClose, jobs, each);
  } else if (mode == L"idle") {
    std::vector<HANDLE> pipes;
    for (int i = 0; i < count; ++i)
      pipes.push_back(openPipe());
    std::printf("opened %d\n", opened.load());
    std::fflush(stdout);
    Sleep(holdMs);
  } else if (mode == L"add") {
    for (int i = 0; i < count; ++i)
      jobs.push_back({i, holdMs});
    runThreads(count, addOne, jobs, 0);
    std::printf("opened %d done %d refused %d\n", opened.load(), done.load(), refused.load());
    return 0;
  } else if (mode == L"forge") {
    HANDLE pipe = openPipe();
    const std::string forged =
        "127.0.0.1 a.test\r\n00:00:00 INFO  Service - Added '10.6.6.6 bank.example' for "
        "NT AUTHORITY\\SYSTEM";
    if (pipe == INVALID_HANDLE_VALUE || !sendFrame(pipe, 16, kHello) || replyStatus(pipe) != 0 ||
        !sendFrame(pipe, 1, entryOperands(forged))) {
      return 1;
    }
    std::printf("opened %d refused %d\n", opened.load(), replyStatus(pipe) == 1 ? 1 : 0);
    CloseHandle(pipe);
    return 0;
  } else if (mode == L"hello") {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HANDLE pipe = openPipe();
    if (pipe == INVALID_HANDLE_VALUE || !sendFrame(pipe, 16, kHello) || replyStatus(pipe) != 0)
      return 1;
    QueryPerformanceCounter(&end);
    std::printf("%.3f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
    return 0;
  } else {
    return 2;
  }
  if (mode == L"close") std::printf("opened %d\n", opened.load());
  return 0;
}
