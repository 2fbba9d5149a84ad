// A security descriptor made from rules written in SDDL (object_rules_win32.h),
// owned for as long as a create call or a set call needs it.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "base/expected.h"
#include "base/unique_resource_win32.h"

namespace varnick {

class SecurityDescriptor {
 public:
  // Converts `rules`; a failure leaves no descriptor.
  SystemResult convert(const wchar_t* rules);

  PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }
  // For a create call: this descriptor, on a handle that no child inherits.
  SECURITY_ATTRIBUTES* attributes();

 private:
  UniqueLocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace varnick
