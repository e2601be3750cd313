#include "reader/reader.hpp"

namespace vx::reader {

void init_execution(vx::PyClass& cls) {}

}  // namespace vx::reader
