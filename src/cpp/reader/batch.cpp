#include "reader/reader.hpp"

namespace vx::reader {

void init_batch(vx::PyClass& cls) {}

}  // namespace vx::reader
