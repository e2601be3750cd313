#include "reader/reader.hpp"

namespace vx::reader {

void init_construction(vx::PyClass& cls) {}

}  // namespace vx::reader
