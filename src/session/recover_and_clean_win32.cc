#include "session/recover_and_clean.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "session/controller_win32.h"
#include "session/session_advice.h"
#include "session/session_clean_win32.h"
#include "session/session_exit_codes.h"
#include "session/session_waits.h"
#include "session/varnick_report.h"
#include "session/varnick_start_win32.h"

namespace varnick::control {

int recoverOrClean(const SessionOptions& options, const EventStream& events) {
  std::optional<std::wstring> folder = varnickFolder();
  if (!folder) return kSessionNoVarnick;
  const std::string logShown = varnickLogShown(*folder);
  Controller controller;
  controller.setReporter([](const std::string& note) { report(note); });
  if (Expected<void, std::string> listening = controller.listen(0); !listening) {
    report(listening.error());
    return kSessionCannotListen;
  }
  // Varnick connects once its work is done, to report it.
  const std::vector<std::wstring> arguments{L"session", options.clean ? L"clean" : L"recover",
                                            std::to_wstring(controller.port())};
  if (!startTrustedVarnick(controller, options, arguments, *folder, ServiceAnswer{}))
    return kSessionNoVarnick;
  const int waitSeconds = recoveryWaitSeconds(std::max(1, journalsBesideHostsFile()));
  Expected<Report, std::string> done = unexpected(std::string());
  if (Expected<void, AcceptFailure> accepted = controller.acceptVarnick(waitSeconds, nullptr)) {
    done = controller.readReport("say what it put right");
    controller.disconnect();  // Varnick ends once it is read
  } else {
    done = unexpected(accepted.error().message);
  }
  if (!done) {
    report(done.error() + "; see " + logShown);
    controller.endVarnick();
    return kSessionVarnickFailed;
  }
  sayWhatVarnickReported(*done, events);
  std::optional<DWORD> code = controller.waitForVarnick(kExitWaitSeconds, "end");
  if (!code || *code != 0) {
    report(code ? std::string(options.clean ? "the clean" : "the recovery") +
                      " failed: varnick.exe exited with code " + std::to_string(*code) + "; see " +
                      logShown
                : "varnick.exe did not end within " + std::to_string(kExitWaitSeconds) +
                      " seconds; see " + logShown);
    return kSessionVarnickFailed;
  }
  if (!options.clean) return 0;
  // The log goes only now: a failure above is told in it.
  bool clean = cleanVarnickFolder(*folder);
  notice(
      "left varnick.log wherever varnick add, del or server ran by hand, and any files in "
      "%TEMP% named hos*.tmp: varnick del leaves a copy of the old hosts file there each "
      "time, and the system's names for those cannot tell them from other programs' files");
  return clean ? 0 : kSessionVarnickFailed;
}

}  // namespace varnick::control
