#include "app/host_paths.h"

namespace varnick {
namespace {

wchar_t gHostsFilePath[kPathCapacity];
wchar_t gHostsDirectory[kPathCapacity];

}  // namespace

wchar_t* hostsFilePath() { return gHostsFilePath; }
wchar_t* hostsDirectory() { return gHostsDirectory; }

}  // namespace varnick
