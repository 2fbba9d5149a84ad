// The hosts file's own operations that `add` and server mode share.
#pragma once

#include <cstdint>
#include <string_view>

namespace varnick {

enum class AppendStep { kDone, kOpenFailed, kWriteFailed };

struct AppendResult {
  AppendStep step = AppendStep::kDone;
  std::uint32_t error = 0;  // the platform's error code when not done
};

// Appends CR LF and `entry` to the existing hosts file, in one write, once
// no other Varnick is writing to it (a del under way is waited for). While the file
// is open, other processes may read it but not write to it; a missing hosts
// file is not created. A short write counts as failed.
[[nodiscard]] AppendResult appendLine(std::string_view entry);

// Copies the hosts file to `backupPath`, overwriting what is there, trying
// again for a bounded time while another process holds either file: 0 or
// the error code.
[[nodiscard]] std::uint32_t backUpHostsFile(const wchar_t* backupPath);

// Puts the content of `backupPath` in place of the hosts file in one step,
// waiting a bounded time while another process holds the hosts file. The
// backup is left as it is. 0 or the error code; on failure the hosts file
// keeps its content.
[[nodiscard]] std::uint32_t restoreHostsFile(const wchar_t* backupPath);

}  // namespace varnick
