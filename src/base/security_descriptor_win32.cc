#include "base/security_descriptor_win32.h"

#include <sddl.h>

namespace varnick {

SystemResult SecurityDescriptor::convert(const wchar_t* rules) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &made,
                                                            nullptr)) {
    const DWORD error = GetLastError();
    descriptor_.reset();
    return unexpected(error);
  }
  descriptor_.reset(made);
  return {};
}

SECURITY_ATTRIBUTES* SecurityDescriptor::attributes() {
  attributes_ = {sizeof attributes_, descriptor_.get(), FALSE};
  return &attributes_;
}

}  // namespace varnick
