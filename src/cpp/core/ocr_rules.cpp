#include "core/ocr_rules.hpp"

#include <vector>

namespace vx::core::ocr {

const char* encoding_for(std::u32string_view f) {
  if (f == U"jpg" || f == U"jpeg") return "JPEG";
  if (f == U"bmp") return "BMP";
  return "PNG";
}

std::string mime_type(std::u32string_view f) {
  if (f == U"jpg") return "image/jpeg";
  std::string out = "image/";
  for (char32_t c : f) {
    // UTF-8 of the lowered format name; formats are ASCII in practice.
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::pair<long long, long long> scaled_size(long long w, long long h, long long max_dim) {
  long long longer = w > h ? w : h;
  if (longer <= max_dim) return {w, h};
  // Same double arithmetic as max_dim / max(w, h) and int(w * scale) in Python.
  double scale = static_cast<double>(max_dim) / static_cast<double>(longer);
  return {static_cast<long long>(static_cast<double>(w) * scale),
          static_cast<long long>(static_cast<double>(h) * scale)};
}

std::string base64(std::string_view in) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.resize((in.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  std::size_t n = in.size(), i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint32_t v = (std::uint32_t(p[i]) << 16) | (std::uint32_t(p[i + 1]) << 8) | p[i + 2];
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (std::size_t rest = n - i; rest) {
    std::uint32_t v = std::uint32_t(p[i]) << 16;
    if (rest == 2) v |= std::uint32_t(p[i + 1]) << 8;
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

Fallback fallback_mode(std::string_view mode) {
  if (mode == "off") return Fallback::Off;
  if (mode == "auto") return Fallback::Auto;
  if (mode == "force") return Fallback::Force;
  return Fallback::Other;
}

PageLabel label_page(bool use_azure, Fallback mode, bool caller_not_none, const char* read_by,
                     bool extracted_none, bool extracted_truthy) {
  // An attempt was possible when the cloud OCR was on, or when a model caller was
  // given and the fallback was not switched off. Only "nothing came back" counts as a
  // failure: an empty text is an answer (a blank page read by the model).
  bool attempted = use_azure || (mode != Fallback::Off && caller_not_none);
  bool failed = attempted && extracted_none;
  if (failed) return {"ocr_failed", true};
  return {extracted_truthy ? read_by : "text", false};
}

std::string path_leaf(std::string_view path) {
  // PurePosixPath(path).name: empty and "." components vanish, ".." stays.
  std::string_view last;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (!part.empty() && part != ".") last = part;
    i = j + 1;
  }
  return std::string(last);
}

}  // namespace vx::core::ocr
