// The session engine's store on Linux: the hosts file and the files beside
// it, every one opened through a descriptor without following a link; the
// journals root's, mode 0600, held with flock for as long as they are open;
// the new hosts file made new beside it with the old one's owner, mode and
// extended attributes, renamed over it and the folder flushed; where no
// rename can replace it (a mount point of its own), written over in place.
// The write lock is the lock folder's (hosts_lock_posix.h).
#pragma once

#include <memory>

#include "hosts/hosts_places_posix.h"
#include "hosts/hosts_store.h"

namespace varnick {

// The store of the hosts file at `places`.
[[nodiscard]] std::unique_ptr<HostsStore> makePosixHostsStore(HostsPlaces places = {});

}  // namespace varnick
