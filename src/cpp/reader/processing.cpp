#include "reader/reader.hpp"

namespace vx::reader {

void init_processing(vx::PyClass& cls) {}

}  // namespace vx::reader
