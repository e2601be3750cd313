// The Tesseract engine of the OCR-aware loader (tesseract.cpp).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bridge/bridge.hpp"

namespace vx::ocr {

// "azure" or "tesseract": `value` when given (named `what` in errors), else the
// environment's VORLEX_OCR_ENGINE, else "azure". Anything else raises ValueError.
std::string ocr_engine_of(py::handle value, const char* what);

// The Tesseract text of the given 0-based pages of the PDF at `source` (a path or the
// PDF's bytes), by page. A page missing from the answer, or None, was not read; a
// missing engine or language data is one warning "Tesseract não disponível: ...".
std::map<long long, py::object> read_with_tesseract(py::handle source,
                                                    const std::vector<long long>& page_nums);

void init_tesseract(py::module_& m);

}  // namespace vx::ocr
