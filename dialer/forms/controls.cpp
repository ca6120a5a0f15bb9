#include "dialer/forms/controls.h"

#include <stdexcept>
#include <string>

namespace forms {

const ControlDef& Layout::Definition(std::string_view name, int index) const {
  for (const ControlDef& c : controls) {
    if (c.name == name && c.index == index) return c;
  }
  throw std::logic_error("no control " + std::string(name) + "(" + std::to_string(index) + ")");
}

}  // namespace forms
