// The decisions of the OCR pipeline, free of Python: which pages need reading from
// their image, how an image is sized and encoded for the cloud OCR, which service
// failures are worth another attempt, and how a page is labelled afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vx::core::ocr {

// A page whose own stripped text is longer than this is taken as it is.
inline constexpr std::size_t kPageTextThreshold = 100;
inline constexpr long long kMinDim = 200;    // shorter side below this: not sent
inline constexpr long long kMaxDim = 16000;  // longer side above this: scaled down
inline constexpr int kOcrAttempts = 3;
inline constexpr int kTimeoutSeconds = 30;
inline constexpr double kPointsPerInch = 72.0;

inline bool page_needs_rendering(std::size_t stripped_chars) { return stripped_chars <= kPageTextThreshold; }

// Pillow format name for a caller's image_format already lowered: jpg/jpeg -> JPEG,
// png -> PNG, bmp -> BMP, anything else PNG.
const char* encoding_for(std::u32string_view format_lower);

// "image/<format>" with image/jpg spelled image/jpeg (format already lowered), UTF-8.
std::string mime_type(std::u32string_view format_lower);

// Size an image is sent at: unchanged unless the longer side exceeds max_dim, then
// scaled so that it becomes max_dim, each side truncated the way int(w * scale) does.
std::pair<long long, long long> scaled_size(long long w, long long h, long long max_dim = kMaxDim);
inline bool too_small(long long w, long long h, long long min_dim = kMinDim) {
  return (w < h ? w : h) < min_dim;
}

// A service answer status worth another attempt: rate limiting and server faults.
// (A failure with no status at all, a lost connection, is transient too; the caller
// decides that before asking about a status.)
inline bool transient_status(long long status) { return status == 429 || status >= 500; }

// Standard Base64 with padding.
std::string base64(std::string_view bytes);

// The label of a page that went through rendering.
enum class Fallback { Off, Auto, Force, Other };
Fallback fallback_mode(std::string_view mode);

struct PageLabel {
  const char* source;  // "text", "ocr", "vision_fallback" or "ocr_failed"
  bool ocr_failed;
};
// read_by: "ocr" or "vision_fallback", the reading that produced `extracted`;
// extracted_none: nothing came back at all; extracted_truthy: a non-empty text came back.
PageLabel label_page(bool use_azure, Fallback mode, bool caller_not_none, const char* read_by,
                     bool extracted_none, bool extracted_truthy);

// Last component of a POSIX path the way pathlib's PurePath.name gives it.
std::string path_leaf(std::string_view path);

}  // namespace vx::core::ocr
