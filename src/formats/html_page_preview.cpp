#include "formats/html_page_preview.h"

#include <libheif/heif.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace larkpost {

namespace {

// Larger than any side a picture within kMaxDecodedPixels has in practice (a panorama of 24 MP
// is about 16,000 pixels wide); libheif refuses a file with a larger side as it reads its header.
constexpr int kMaxSide = 16384;
constexpr int kQuality = 85;
constexpr size_t kOutBuffer = 64 * 1024;

// ---- Reading the file through its descriptor, for libheif.

struct Source {
  int fd;
  int64_t size;
  int64_t position = 0;
};

int64_t SourcePosition(void* source) { return static_cast<Source*>(source)->position; }

int SourceRead(void* data, size_t size, void* userdata) {
  Source& source = *static_cast<Source*>(userdata);
  auto* out = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = pread(source.fd, out, size, source.position);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 1;
    out += got;
    size -= static_cast<size_t>(got);
    source.position += got;
  }
  return 0;
}

int SourceSeek(int64_t position, void* userdata) {
  Source& source = *static_cast<Source*>(userdata);
  if (position < 0 || position > source.size) return 1;
  source.position = position;
  return 0;
}

heif_reader_grow_status SourceWait(int64_t size, void* userdata) {
  return size > static_cast<Source*>(userdata)->size ? heif_reader_grow_status_size_beyond_eof
                                                     : heif_reader_grow_status_size_reached;
}

// ---- Writing the JPEG, with libjpeg's errors as a jump back rather than its exit().

struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf back;
};

void JumpBack(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->back, 1); }
void Quiet(j_common_ptr) {}

struct FdDestination {
  jpeg_destination_mgr manager;
  int fd;
  int osError = 0;
  JOCTET buffer[kOutBuffer];
};

bool WriteAll(FdDestination& destination, size_t size) {
  const JOCTET* at = destination.buffer;
  while (size > 0) {
    const ssize_t wrote = write(destination.fd, at, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      destination.osError = wrote < 0 ? errno : ENOSPC;
      return false;
    }
    at += wrote;
    size -= static_cast<size_t>(wrote);
  }
  return true;
}

void StartDestination(j_compress_ptr info) {
  auto& destination = *reinterpret_cast<FdDestination*>(info->dest);
  destination.manager.next_output_byte = destination.buffer;
  destination.manager.free_in_buffer = kOutBuffer;
}

boolean EmptyDestination(j_compress_ptr info) {
  auto& destination = *reinterpret_cast<FdDestination*>(info->dest);
  if (!WriteAll(destination, kOutBuffer)) ERREXIT(info, JERR_FILE_WRITE);
  StartDestination(info);
  return TRUE;
}

void EndDestination(j_compress_ptr info) {
  auto& destination = *reinterpret_cast<FdDestination*>(info->dest);
  if (!WriteAll(destination, kOutBuffer - destination.manager.free_in_buffer)) {
    ERREXIT(info, JERR_FILE_WRITE);
  }
}

// A decoded picture, interleaved 8-bit RGB or RGBA, and how it is scaled down.
struct Picture {
  const uint8_t* pixels;
  int stride;
  int width, height;
  int channels;        // 3, or 4 with alpha
  int factor;          // each side of a box of pixels averaged into one
  int outWidth, outHeight;
  const JOCTET* profile;  // ICC colour profile, or null
  unsigned profileSize;
};

// Output row `y`: the average of each factor x factor box (smaller at the right and lower edges),
// a transparent picture laid on white.
void ScaledRow(const Picture& picture, int y, uint32_t* sums, JSAMPLE* row) {
  const int top = y * picture.factor;
  const int bottom = top + picture.factor < picture.height ? top + picture.factor : picture.height;
  for (int i = 0; i < picture.outWidth * 3; ++i) sums[i] = 0;
  for (int line = top; line < bottom; ++line) {
    const uint8_t* in = picture.pixels + static_cast<size_t>(line) * picture.stride;
    for (int x = 0; x < picture.width; ++x, in += picture.channels) {
      uint32_t* sum = sums + (x / picture.factor) * 3;
      if (picture.channels == 4) {
        const uint32_t alpha = in[3];
        for (int c = 0; c < 3; ++c) sum[c] += (in[c] * alpha + 255 * (255 - alpha) + 127) / 255;
      } else {
        for (int c = 0; c < 3; ++c) sum[c] += in[c];
      }
    }
  }
  for (int x = 0; x < picture.outWidth; ++x) {
    const int left = x * picture.factor;
    const int wide = left + picture.factor < picture.width ? picture.factor : picture.width - left;
    const uint32_t count = static_cast<uint32_t>(wide * (bottom - top));
    for (int c = 0; c < 3; ++c) {
      row[x * 3 + c] = static_cast<JSAMPLE>((sums[x * 3 + c] + count / 2) / count);
    }
  }
}

// Writes the picture as a JPEG to the destination. Nothing here may own anything to release: an
// error of libjpeg jumps back to the setjmp below, past every frame in between.
bool EncodeJpeg(const Picture& picture, FdDestination& destination, uint32_t* sums, JSAMPLE* row) {
  jpeg_compress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JumpBack;
  errors.manager.output_message = Quiet;
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  destination.manager.init_destination = StartDestination;
  destination.manager.empty_output_buffer = EmptyDestination;
  destination.manager.term_destination = EndDestination;
  info.dest = &destination.manager;
  info.image_width = static_cast<JDIMENSION>(picture.outWidth);
  info.image_height = static_cast<JDIMENSION>(picture.outHeight);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kQuality, TRUE);
  jpeg_start_compress(&info, TRUE);
  if (picture.profile != nullptr) jpeg_write_icc_profile(&info, picture.profile, picture.profileSize);
  for (int y = 0; y < picture.outHeight; ++y) {
    ScaledRow(picture, y, sums, row);
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

// ---- Choosing and decoding the picture.

using Context = std::unique_ptr<heif_context, decltype(&heif_context_free)>;
using Handle = std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)>;
using Image = std::unique_ptr<heif_image, decltype(&heif_image_release)>;

bool Small(const heif_image_handle* handle) {
  const int64_t width = heif_image_handle_get_width(handle);
  const int64_t height = heif_image_handle_get_height(handle);
  return width > 0 && height > 0 && static_cast<uint64_t>(width * height) <= kMaxDecodedPixels;
}

// The primary picture decoded when it is small enough, else (or when it does not decode) the
// first small enough thumbnail that does; null when none. `used` is the handle decoded.
Image Decoded(const heif_image_handle* primary, Handle& used) {
  std::vector<heif_item_id> thumbnails(
      static_cast<size_t>(std::max(0, heif_image_handle_get_number_of_thumbnails(primary))));
  heif_image_handle_get_list_of_thumbnail_IDs(primary, thumbnails.data(),
                                              static_cast<int>(thumbnails.size()));
  std::unique_ptr<heif_decoding_options, decltype(&heif_decoding_options_free)> options(
      heif_decoding_options_alloc(), heif_decoding_options_free);
  options->convert_hdr_to_8bit = 1;
  for (size_t candidate = 0; candidate <= thumbnails.size(); ++candidate) {
    Handle handle(nullptr, heif_image_handle_release);
    if (candidate == 0) {
      if (!Small(primary)) continue;
    } else {
      heif_image_handle* thumbnail = nullptr;
      if (heif_image_handle_get_thumbnail(primary, thumbnails[candidate - 1], &thumbnail).code !=
          heif_error_Ok) {
        continue;
      }
      handle.reset(thumbnail);
      if (!Small(thumbnail)) continue;
    }
    const heif_image_handle* decoding = candidate == 0 ? primary : handle.get();
    const bool alpha = heif_image_handle_has_alpha_channel(decoding) != 0;
    heif_image* image = nullptr;
    if (heif_decode_image(decoding, &image, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          options.get())
            .code == heif_error_Ok &&
        image != nullptr) {
      used = std::move(handle);
      return Image(image, heif_image_release);
    }
    heif_image_release(image);
  }
  return Image(nullptr, heif_image_release);
}

}  // namespace

bool IsHeifPicture(const std::string& type) {
  return type == "image/heic" || type == "image/heif" || type == "image/heic-sequence" ||
         type == "image/heif-sequence";
}

PreviewResult WriteHeifPreview(int source, int out, uint32_t& width, uint32_t& height,
                               int& osError) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { heif_init(nullptr); });  // its plugins, once for the process
  width = height = 0;
  osError = 0;
  const off_t size = lseek(source, 0, SEEK_END);
  if (size <= 0) return PreviewResult::kNotDecoded;
  Source reading{source, static_cast<int64_t>(size)};
  heif_reader reader{};
  reader.reader_api_version = 1;
  reader.get_position = SourcePosition;
  reader.read = SourceRead;
  reader.seek = SourceSeek;
  reader.wait_for_file_size = SourceWait;

  Context context(heif_context_alloc(), heif_context_free);
  heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
  heif_context_set_max_decoding_threads(context.get(), 0);
  heif_image_handle* primary = nullptr;
  if (heif_context_read_from_reader(context.get(), &reader, &reading, nullptr).code != heif_error_Ok ||
      heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok) {
    return PreviewResult::kNotDecoded;
  }
  const Handle primaryHandle(primary, heif_image_handle_release);
  Handle thumbnail(nullptr, heif_image_handle_release);
  const Image image = Decoded(primary, thumbnail);
  if (!image) return PreviewResult::kNotDecoded;
  const heif_image_handle* used = thumbnail ? thumbnail.get() : primary;

  Picture picture{};
  picture.channels = heif_image_handle_has_alpha_channel(used) != 0 ? 4 : 3;
  picture.pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &picture.stride);
  picture.width = heif_image_get_width(image.get(), heif_channel_interleaved);
  picture.height = heif_image_get_height(image.get(), heif_channel_interleaved);
  if (picture.pixels == nullptr || picture.width <= 0 || picture.height <= 0 ||
      picture.stride < picture.width * picture.channels) {
    return PreviewResult::kNotDecoded;
  }
  const int longer = std::max(picture.width, picture.height);
  picture.factor = (longer + static_cast<int>(kMaxPreviewSide) - 1) / static_cast<int>(kMaxPreviewSide);
  picture.outWidth = (picture.width + picture.factor - 1) / picture.factor;
  picture.outHeight = (picture.height + picture.factor - 1) / picture.factor;
  std::vector<JOCTET> profile;
  const heif_color_profile_type profileType = heif_image_handle_get_color_profile_type(used);
  if (profileType == heif_color_profile_type_prof || profileType == heif_color_profile_type_rICC) {
    profile.resize(heif_image_handle_get_raw_color_profile_size(used));
    if (!profile.empty() && profile.size() < (1u << 24) &&
        heif_image_handle_get_raw_color_profile(used, profile.data()).code == heif_error_Ok) {
      picture.profile = profile.data();
      picture.profileSize = static_cast<unsigned>(profile.size());
    }
  }

  auto destination = std::make_unique<FdDestination>();
  destination->fd = out;
  std::vector<uint32_t> sums(static_cast<size_t>(picture.outWidth) * 3);
  std::vector<JSAMPLE> row(static_cast<size_t>(picture.outWidth) * 3);
  if (!EncodeJpeg(picture, *destination, sums.data(), row.data())) {
    osError = destination->osError != 0 ? destination->osError : EIO;
    return PreviewResult::kNotWritten;
  }
  width = static_cast<uint32_t>(picture.outWidth);
  height = static_cast<uint32_t>(picture.outHeight);
  return PreviewResult::kWritten;
}

}  // namespace larkpost
