#include "reader/reader.hpp"

namespace vx::reader {

void init_calls(vx::PyClass& cls) {}

}  // namespace vx::reader
