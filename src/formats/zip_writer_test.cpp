#include "formats/zip_writer.h"

#include <gtest/gtest.h>
#include <zip.h>

#include "platform/file/file.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

// More entries than the plain end record can count need the ZIP64 end records; libzip, which
// reads by the central directory, and a reader from the front both find every entry.
TEST(ZipArchiveWriter, EveryEntryReadsBackPastTheClassicLimits) {
  testing::TempDir dir;
  const std::u16string path = dir.File("many.zip");
  constexpr int kEntries = 70000;
  {
    CFile out(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(out);
    ZipArchiveWriter archive(sink);
    StagedEntry text(path, ZipMethod::kDeflated);
    const std::string line = "{\"body\":\"hello\"}\n";
    for (int i = 0; i < 1000; ++i) text.Append(line.data(), line.size());
    text.Close();
    archive.Add("messages.ndjson", ZipMethod::kDeflated, text.crc(), text.size(), text.packed(),
                text.Open(0, text.packed()));
    for (int i = 1; i < kEntries; ++i) {
      const std::string bytes = std::to_string(i);
      archive.Add("data/PART_" + bytes, ZipMethod::kStored, ZipCrc32(0, bytes.data(), bytes.size()),
                  bytes.size(), bytes.size(), [bytes, done = false](char* buffer, size_t) mutable {
                    if (done) return size_t{0};
                    done = true;
                    std::copy(bytes.begin(), bytes.end(), buffer);
                    return bytes.size();
                  });
    }
    archive.Finish();
    out.Close();
  }
  int code = 0;
  zip_t* zip = zip_open(dir.PathOf("many.zip").c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
  ASSERT_NE(zip, nullptr) << code;
  EXPECT_EQ(zip_get_num_entries(zip, 0), kEntries);
  for (const int i : {1, 65534, 65535, 65536, kEntries - 1}) {
    const std::string name = "data/PART_" + std::to_string(i);
    zip_file_t* file = zip_fopen(zip, name.c_str(), 0);
    ASSERT_NE(file, nullptr) << name;
    char buffer[16] = {};
    const zip_int64_t got = zip_fread(file, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), std::to_string(i));
    zip_fclose(file);
  }
  zip_file_t* lines = zip_fopen(zip, "messages.ndjson", 0);
  ASSERT_NE(lines, nullptr);
  std::string text(20000, '\0');
  EXPECT_EQ(zip_fread(lines, text.data(), text.size()), 17000);
  zip_fclose(lines);
  zip_close(zip);
  EXPECT_EQ(testing::ZipLines(testing::FileBytes(dir.PathOf("many.zip"))).size(), 1000u);
}

}  // namespace
}  // namespace larkpost
