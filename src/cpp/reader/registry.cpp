#include "reader/reader.hpp"

namespace vx::reader {

void init_registry(vx::PyClass& cls) {}

}  // namespace vx::reader
