// The access rules of every securable object that Varnick makes, each
// written once, in SDDL, here: the code that makes an object and the test
// that reads the rules back from it (tests/helpers/access_check.cc) name
// the same constant. SY is SYSTEM (the service's account), BA the
// Administrators group (elevated programs only: a standard user's token
// holds it for denying alone), IU interactive users, BU every local user,
// NU network logons. "P" protects a list from the folder's inheritance.
#pragma once

#include <winsock2.h>
#include <windows.h>

namespace varnick {

// \\.\pipe\Varnick: interactive users may read and write data (0x100083:
// FILE_READ_DATA, FILE_WRITE_DATA, FILE_READ_ATTRIBUTES, SYNCHRONIZE) but not
// make an instance (FILE_CREATE_PIPE_INSTANCE is the append right, which
// FILE_GENERIC_WRITE would grant); network logons get nothing.
constexpr wchar_t kPipeRules[] = L"D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100083;;;IU)";

// The Varnick service: only administrators and SYSTEM may start, stop or
// change it (0xF01FF is SERVICE_ALL_ACCESS); an interactive user's
// varnick-session may ask whether it runs and how it is set up
// (0x85: SERVICE_QUERY_CONFIG, SERVICE_QUERY_STATUS, SERVICE_INTERROGATE).
constexpr wchar_t kServiceRules[] = L"D:(A;;0xf01ff;;;SY)(A;;0xf01ff;;;BA)(A;;0x85;;;IU)";

// %ProgramFiles%\Varnick and, through inheritance, the varnick.exe and log
// in it: the service runs that program as SYSTEM, so only administrators
// and SYSTEM may change anything there; users may read and run
// (0x1200A9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE).
constexpr wchar_t kServiceFolderRules[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// The lock files beside the hosts file: whoever may open one may take or
// deny the lock that every writer of the hosts file waits for.
constexpr wchar_t kLockFileRules[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A session's journal beside the hosts file: a recovery takes out the lines
// it names, so only administrators and SYSTEM may write it; users may read
// it, as varnick-session --status does, and it holds nothing that the
// hosts file, which they may read too, does not show.
constexpr wchar_t kJournalRules[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

// What varnick-session's open of the pipe asks for: the data both ways, and
// waiting on the handle. CreateFileW adds FILE_READ_ATTRIBUTES itself, which
// kPipeRules grants too; GetNamedPipeServerProcessId needs no right.
constexpr DWORD kPipeClientAccess = FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE;

}  // namespace varnick
