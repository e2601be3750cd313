#include "core/image_sniff.hpp"

#include <cstdint>

namespace vx::core {

namespace {

bool starts(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

uint32_t le32(std::string_view s, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
  return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

// "BM" alone is two printable letters that plenty of text files start with; a real
// bitmap also carries one of the known DIB header sizes at offset 14.
bool is_bmp(std::string_view s) {
  if (!starts(s, "BM") || s.size() < 18) return false;
  switch (le32(s, 14)) {
    case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124:
      return true;
    default:
      return false;
  }
}

}  // namespace

ImageKind sniff_image(std::string_view s) {
  using namespace std::string_view_literals;
  if (starts(s, "\x89PNG\r\n\x1a\n"sv)) return ImageKind::Png;
  if (starts(s, "\xff\xd8\xff"sv)) return ImageKind::Jpeg;
  if (starts(s, "II*\0"sv) || starts(s, "MM\0*"sv)) return ImageKind::Tiff;
  if (starts(s, "GIF87a"sv) || starts(s, "GIF89a"sv)) return ImageKind::Gif;
  if (is_bmp(s)) return ImageKind::Bmp;
  return ImageKind::None;
}

const char* image_mime(ImageKind kind) {
  switch (kind) {
    case ImageKind::Png: return "image/png";
    case ImageKind::Jpeg: return "image/jpeg";
    case ImageKind::Tiff: return "image/tiff";
    case ImageKind::Bmp: return "image/bmp";
    case ImageKind::Gif: return "image/gif";
    case ImageKind::None: break;
  }
  return "";
}

bool looks_like_pdf(std::string_view head) {
  return head.substr(0, 1024).find("%PDF-") != std::string_view::npos;
}

}  // namespace vx::core
