// The name of the account a SID stands for, as records and messages show it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace varnick {

// "DOMAIN\user", or "user" for an account of no domain; nothing when the
// system cannot name it.
[[nodiscard]] std::optional<std::string> accountNameOf(PSID sid);

}  // namespace varnick
