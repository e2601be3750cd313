// Signatures read from a module's stub: what the routines of bridge/signatures show.
#pragma once

#include <string>

#include "bridge/bridge.hpp"

namespace vx {

// A function's declaration in its module's stub.
struct StubDef {
  py::object signature = py::none();  // inspect.Signature, or None when the stub has no such def
  std::string path;                   // the stub file ("" when there is none)
  int line = 0;                       // the line of the def in it
};

// The def of `name` in the stub of `module` (in class `owner`, or at module level when
// owner is empty). Parses the stub on first use; an unreadable stub gives an empty StubDef.
// Needs the GIL.
StubDef stub_def(const std::string& module, const std::string& owner, const std::string& name);

}  // namespace vx
