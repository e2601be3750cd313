// Python's calling conventions for the C++ functions of a module, as its users see
// them.
//
// pybind11 functions describe every parameter as `object` and answer a call with an
// unknown keyword or a missing argument with the list of their overloads. After
// python_signatures(m), every C++ function and method defined by m so far is a routine
// object that calls the same function at the same cost and
//   - has the signature of the module's stub (<module>.pyi beside the extension), with
//     its parameter names, kinds, defaults and annotations, for inspect.signature and
//     help();
//   - answers a call its signature refuses with TypeError in Python's wording
//     ("Vorlex.__init__() got an unexpected keyword argument 'x'").
// The stub is read when a signature is first needed, never at import.
#pragma once

#include "bridge/bridge.hpp"

namespace vx {

// Call at the end of PYBIND11_MODULE (before anything that keeps a reference to a
// method of the module's classes).
void python_signatures(py::module_ m);

// True when calling `obj` calls the C++ function `func`: `obj` is `func`, or the routine
// python_signatures made of it. Reads no attribute, so it runs no Python code.
bool calls_cpp_function(py::handle obj, py::handle func);

}  // namespace vx
