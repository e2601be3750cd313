// Recognising image files by their leading bytes (magic numbers), so that a document
// handed over as bytes can be told apart from a PDF without decoding it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vx::core {

enum class ImageKind { None, Png, Jpeg, Tiff, Bmp, Gif };

// The image format of `head` (the first bytes of a file; 32 are enough), or None.
ImageKind sniff_image(std::string_view head);

// "image/png", "image/jpeg", ...; "" for None.
const char* image_mime(ImageKind kind);

struct FrameSize {
  uint32_t width = 0, height = 0;
};

// The largest frame a GIF declares, walking its blocks without decoding them: every
// image descriptor has its own width and height, which may far exceed the logical
// screen that the file header (and so an image reader's declared size) reports, and a
// decoder allocates the frame's full size. nullopt when no descriptor is found before
// the data ends or stops being a GIF.
std::optional<FrameSize> gif_largest_frame(std::string_view data);

// True when the bytes begin like a PDF file ("%PDF-" within the first 1024 bytes, as
// PDF readers accept leading junk).
bool looks_like_pdf(std::string_view head);

}  // namespace vx::core
