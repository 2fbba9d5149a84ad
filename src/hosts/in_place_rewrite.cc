#include "hosts/in_place_rewrite.h"

#include <cstddef>

namespace varnick {

InPlaceState inPlaceState(std::string_view before, std::string_view after, std::string_view now) {
  if (now == after) return InPlaceState::kDone;
  if (now.size() != before.size() && now.size() != after.size()) return InPlaceState::kChanged;
  for (std::size_t i = 0; i < now.size(); ++i) {
    const bool written = i < after.size() && now[i] == after[i];
    const bool old = i < before.size() && now[i] == before[i];
    if (!written && !old) return InPlaceState::kChanged;
  }
  return InPlaceState::kCut;
}

}  // namespace varnick
