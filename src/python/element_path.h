// The loop path of every bulk operation. QUARVEL_ELEMENT_PATH=1 in the
// environment at import forces the element-at-a-time path everywhere (to test
// and time the typed loops against it); it is read once.
#pragma once

#include <cstdlib>
#include <string_view>

#include "storage/view.h"

namespace quarvel_python {

inline bool element_path_forced() {
  static const bool forced = [] {
    const char* value = std::getenv("QUARVEL_ELEMENT_PATH");
    return value != nullptr && std::string_view(value) == "1";
  }();
  return forced;
}

inline quarvel_storage::LoopPath loop_path() {
  return element_path_forced() ? quarvel_storage::LoopPath::Element : quarvel_storage::LoopPath::Typed;
}

}  // namespace quarvel_python
