// A JPEG the page shows in place of a HEIC or HEIF picture (as iPhones take them), which browsers
// other than Safari do not show. libheif (Debian's libheif-dev) decodes the picture; libjpeg
// (libjpeg62-turbo-dev) writes the JPEG, since libheif's API writes none.
//
// Memory is bounded before anything is decoded: a picture whose header declares more than
// kMaxDecodedPixels is not decoded (decoding takes about 6 bytes a pixel: the decoder's planes,
// libheif's copy of them, then the RGB picture; some 145 MB for a 24 MP photo); its thumbnail,
// which iPhones store beside the picture, is taken instead when it has one small enough. The JPEG
// is at most kMaxPreviewSide pixels on its longer side (a picture larger than that is scaled down
// by averaging whole boxes of pixels) and carries the picture's colour profile. A transparent
// picture is shown on white.
#pragma once

#include <cstdint>
#include <string>

namespace larkpost {

inline constexpr uint64_t kMaxDecodedPixels = 25'000'000;  // 5712 x 4284 (24 MP) and below
inline constexpr uint32_t kMaxPreviewSide = 2048;

// True for the media types of HEIF pictures: image/heic, image/heif and their -sequence kinds.
bool IsHeifPicture(const std::string& mediaType);

enum class PreviewResult {
  kWritten,     // the JPEG is in `out`; width and height say its size
  kNotDecoded,  // libheif cannot read or decode the picture, or it is too large: nothing usable
                // was written
  kNotWritten,  // writing `out` failed; `osError` says why
};

// Reads the HEIF file open at `source` (by pread, from offset 0) and writes a JPEG of its primary
// picture (or thumbnail) to `out`, from its current offset.
PreviewResult WriteHeifPreview(int source, int out, uint32_t& width, uint32_t& height,
                               int& osError);

}  // namespace larkpost
