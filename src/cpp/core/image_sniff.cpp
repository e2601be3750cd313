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
  // clang-format off
  switch (le32(s, 14)) {
    case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124:
      return true;
    default:
      return false;
  }
  // clang-format on
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

std::optional<FrameSize> gif_largest_frame(std::string_view s) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(s[at]); };
  auto le16 = [&](size_t at) { return static_cast<uint32_t>(byte(at) | (byte(at + 1) << 8)); };
  if (sniff_image(s) != ImageKind::Gif || s.size() < 13) return std::nullopt;
  size_t at = 13;                                         // signature and logical screen descriptor
  if (byte(10) & 0x80) at += 3u << ((byte(10) & 7) + 1);  // global colour table
  // Data sub-blocks: a length byte and that many bytes, up to a zero length. False
  // when the data ends first.
  auto skip_sub_blocks = [&]() {
    while (at < s.size()) {
      size_t len = byte(at++);
      if (len == 0) return true;
      at += len;
    }
    return false;
  };
  std::optional<FrameSize> largest;
  while (at < s.size()) {
    unsigned char kind = byte(at++);
    if (kind == 0x2C) {  // image descriptor
      if (at + 9 > s.size()) break;
      FrameSize frame{le16(at + 4), le16(at + 6)};
      unsigned char packed = byte(at + 8);
      at += 9;
      if (!largest || uint64_t{frame.width} * frame.height > uint64_t{largest->width} * largest->height) {
        largest = frame;
      }
      if (packed & 0x80) at += 3u << ((packed & 7) + 1);  // local colour table
      at += 1;                                            // LZW minimum code size
      if (!skip_sub_blocks()) break;
    } else if (kind == 0x21) {  // extension: a label, then sub-blocks
      at += 1;
      if (!skip_sub_blocks()) break;
    } else {
      break;  // the trailer (0x3B) or something that is not a GIF block
    }
  }
  return largest;
}

bool looks_like_pdf(std::string_view head) {
  return head.substr(0, 1024).find("%PDF-") != std::string_view::npos;
}

}  // namespace vx::core
