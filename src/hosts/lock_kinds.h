// The two machine-wide locks of every Varnick, by the same names on every
// platform; each platform's HostsLock takes them (hosts_lock_win32.h,
// hosts_lock_posix.h).
#pragma once

namespace varnick {

enum class LockKind {
  // Held by every Varnick writer of the hosts file: an add for its one
  // write; a del, a restore or a take-out of a session's lines from the
  // first read to the swap; the making of a journal, and a recovery's look
  // at one.
  kWrite,
  // Held by a server from before its backup until after its restore, so
  // that two servers never restore over each other; shared by sessions,
  // which take out only their own lines and so run side by side, but never
  // beside a server whose restore would put back a whole old file.
  kServing,
};

enum class LockSharing { kExclusive, kShared };

}  // namespace varnick
