#include "base/security_descriptor_win32.h"

#include <sddl.h>

namespace varnick {

DWORD SecurityDescriptor::convert(const wchar_t* rules) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &made,
                                                            nullptr)) {
    const DWORD error = GetLastError();
    descriptor_.reset();
    return error;
  }
  descriptor_.reset(made);
  return ERROR_SUCCESS;
}

SECURITY_ATTRIBUTES* SecurityDescriptor::attributes() {
  attributes_ = {sizeof attributes_, descriptor_.get(), FALSE};
  return &attributes_;
}

}  // namespace varnick
