// Who a client of the service's pipe is, read from its process's token.
// The service reads the token rather than impersonating the client: Wine
// stubs ImpersonateNamedPipeClient (it returns the service's own token),
// and the process id comes from the pipe itself
// (GetNamedPipeClientProcessId), not from anything the client says.
#pragma once

#include <windows.h>

#include <optional>

#include "service/holdings.h"

namespace varnick {

// The user (SID), account name and process of `pid`, and whether its token
// has Administrators enabled (an elevated administrator; a filtered UAC
// token has it deny-only). Nothing when the token cannot be read.
[[nodiscard]] std::optional<Caller> identifyClient(DWORD pid);

}  // namespace varnick
