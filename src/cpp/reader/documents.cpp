#include "reader/reader.hpp"

namespace vx::reader {

void init_documents(vx::PyClass& cls) {}

}  // namespace vx::reader
