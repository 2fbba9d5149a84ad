// Starting varnick.exe for a session, a recovery or a clean: the folder it
// runs and logs in, and the check that nobody but administrators could have
// changed it, before it starts elevated.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session/controller_win32.h"
#include "session/session_advice.h"
#include "session/session_options.h"

namespace varnick::control {

// The folder that Varnick runs in, and so keeps varnick.log and its copies
// in, made when missing, so that a session leaves nothing in the folder it
// is run from. Nothing (and a report) when it cannot be had.
std::optional<std::wstring> varnickFolder();

// varnick.log in the folder that Varnick runs in, as messages name it.
std::string varnickLogShown(const std::wstring& folder);

// How many sessions' journals lie beside the hosts file: a Varnick about to
// start puts right each that no running session holds. 0 when they cannot
// be listed (Varnick then says why).
int journalsBesideHostsFile();

// Starts the Varnick that `options` name with `arguments` in `folder`, unless
// someone besides administrators could have changed it or its folder: an
// elevated start would then run whatever they put there. Both stay held
// until Varnick has started, by the path of the file that was checked.
// `service` says what the Varnick service answered first, for the ways out.
// False, reported, when it did not start.
bool startTrustedVarnick(Controller& controller, const SessionOptions& options,
                         const std::vector<std::wstring>& arguments, const std::wstring& folder,
                         const ServiceAnswer& service);

}  // namespace varnick::control
