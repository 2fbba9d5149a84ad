// The privileged half as a session's way in: its adds, and its end with
// the report of what it took out.
#pragma once

#include <string>

#include "session/half_link_posix.h"
#include "session/half_start_posix.h"
#include "session/session_driver.h"

namespace varnick::control {

class HalfTransport final : public SessionTransport {
 public:
  HalfTransport(HalfLink& link, const HalfStarted& started, const EventStream& events)
      : link_(link), started_(started), events_(events) {}

  std::string route() const override;
  SessionStep add(const SessionEntry& entry) override;
  // Ends serving and waits for the half's take-out. A session code unless
  // the half answered the shutdown and exited 0.
  SessionStep end() override;

 private:
  HalfLink& link_;
  const HalfStarted& started_;
  const EventStream& events_;
};

}  // namespace varnick::control
