#include "platform/file/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/file/output_sink.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace {

// A fresh folder for each test, removed with its files afterwards.
class FileTest : public ::testing::Test {
 protected:
  std::string NarrowPath(const std::string& name) const { return temp_.PathOf(name); }
  std::u16string Path(const std::string& name) const { return temp_.File(name); }

  void WriteFileBytes(const std::string& name, const std::string& bytes) const {
    std::ofstream(NarrowPath(name), std::ios::binary) << bytes;
  }
  std::string FileBytes(const std::string& name) const {
    return larkpost::testing::FileBytes(NarrowPath(name));
  }

  larkpost::testing::TempDir temp_;
  const std::string folder_ = temp_.path();
};

std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

}  // namespace

TEST(CFileException, TextsNameTheFile) {
  CFileException notFound(CFileException::fileNotFound, ENOENT, u"/tmp/x.bak");
  EXPECT_EQ(notFound.ErrorMessage(), u"/tmp/x.bak was not found.");
  EXPECT_STREQ(notFound.what(), "/tmp/x.bak was not found.");
  EXPECT_EQ(CFileException(CFileException::diskFull, ENOSPC, u"b.bak").ErrorMessage(), u"Disk full while accessing b.bak.");
  EXPECT_EQ(CFileException(CFileException::badSeek, 0, u"b.bak").ErrorMessage(), u"Seek failed on b.bak");
  EXPECT_EQ(CFileException(CFileException::none, 0, u"b.bak").ErrorMessage(), u"No error occurred.");
  EXPECT_EQ(CFileException(CFileException::accessDenied, EACCES, u"\u00E9.bak").ErrorMessage(),
            u"Access to \u00E9.bak was denied.");
}

TEST(CFileException, GetErrorMessageTruncatesToTheBuffer) {
  CFileException error(CFileException::hardIO, EIO, u"f");
  char16_t buffer[64];
  ASSERT_TRUE(error.GetErrorMessage(buffer, 64));
  EXPECT_EQ(std::u16string(buffer), u"A hardware I/O error was reported while accessing f.");
  ASSERT_TRUE(error.GetErrorMessage(buffer, 6));
  EXPECT_EQ(std::u16string(buffer), u"A har");
  EXPECT_FALSE(error.GetErrorMessage(buffer, 0));
}

TEST(CFileException, CausesFromErrno) {
  EXPECT_EQ(CFileException::CauseFromErrno(ENOENT), CFileException::fileNotFound);
  EXPECT_EQ(CFileException::CauseFromErrno(EACCES), CFileException::accessDenied);
  EXPECT_EQ(CFileException::CauseFromErrno(EPERM), CFileException::accessDenied);
  EXPECT_EQ(CFileException::CauseFromErrno(EROFS), CFileException::accessDenied);
  EXPECT_EQ(CFileException::CauseFromErrno(ENOSPC), CFileException::diskFull);
  EXPECT_EQ(CFileException::CauseFromErrno(EDQUOT), CFileException::diskFull);
  EXPECT_EQ(CFileException::CauseFromErrno(EIO), CFileException::hardIO);
  EXPECT_EQ(CFileException::CauseFromErrno(ENOTDIR), CFileException::badPath);
  EXPECT_EQ(CFileException::CauseFromErrno(ENAMETOOLONG), CFileException::badPath);
  EXPECT_EQ(CFileException::CauseFromErrno(EMFILE), CFileException::tooManyOpenFiles);
  EXPECT_EQ(CFileException::CauseFromErrno(ENFILE), CFileException::tooManyOpenFiles);
  EXPECT_EQ(CFileException::CauseFromErrno(EXDEV), CFileException::genericException);
}

TEST_F(FileTest, CreatedFilesArePrivate) {
  CFile file(Path("new.bak"), CFile::modeCreate | CFile::modeWrite);
  struct stat info;
  ASSERT_EQ(fstat(file.GetHandle(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(file.GetFilePath(), Path("new.bak"));
}

TEST_F(FileTest, CreateTruncatesUnlessAskedNotTo) {
  WriteFileBytes("a", "0123456789");
  {
    CFile file(Path("a"), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite);
    EXPECT_EQ(file.GetLength(), 10u);
    file.Write("ab", 2);
    file.Close();
  }
  EXPECT_EQ(FileBytes("a"), "ab23456789");
  {
    CFile file(Path("a"), CFile::modeCreate | CFile::modeWrite);
    EXPECT_EQ(file.GetLength(), 0u);
    file.Write("xyz", 3);
  }  // the destructor writes out what is buffered
  EXPECT_EQ(FileBytes("a"), "xyz");
}

TEST_F(FileTest, OpenFailuresCarryTheCauseAndTheName) {
  CFile file;
  CFileException error;
  EXPECT_FALSE(file.Open(Path("missing.bak"), CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_strFileName, Path("missing.bak"));
  // A missing folder is a bad path, as the platform reports it.
  EXPECT_FALSE(file.Open(Path("no/such/folder.bak"), CFile::modeCreate | CFile::modeWrite, &error));
  EXPECT_EQ(error.m_cause, CFileException::badPath);
  WriteFileBytes("plain", "x");
  EXPECT_FALSE(file.Open(Path("plain/child.bak"), CFile::modeCreate | CFile::modeWrite, &error));
  EXPECT_EQ(error.m_cause, CFileException::badPath);
  EXPECT_FALSE(file.Open(larkpost::Utf8ToWide(folder_), CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::accessDenied);
  EXPECT_EQ(file.GetHandle(), -1);
  try {
    CFile thrown(Path("missing.bak"), CFile::modeRead);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.ErrorMessage(), Path("missing.bak") + u" was not found.");
  }
}

TEST_F(FileTest, ByteByByteReadsMatchTheFile) {
  const std::string bytes = Pattern(200000);
  WriteFileBytes("big", bytes);
  CFile file(Path("big"), CFile::modeRead | CFile::shareDenyNone);
  EXPECT_EQ(file.GetLength(), bytes.size());
  std::string read;
  char c;
  while (file.Read(&c, 1) == 1) read += c;
  EXPECT_EQ(read, bytes);
  EXPECT_EQ(file.GetPosition(), bytes.size());
  EXPECT_EQ(file.Read(&c, 1), 0u);  // past the end
}

TEST_F(FileTest, SeekAndPositionStayExactWhileBuffered) {
  const std::string bytes = Pattern(150000);
  WriteFileBytes("f", bytes);
  CFile file(Path("f"), CFile::modeRead);
  char chunk[16];
  ASSERT_EQ(file.Read(chunk, 10), 10u);
  EXPECT_EQ(file.GetPosition(), 10u);
  EXPECT_EQ(file.Seek(5, CFile::current), 15u);
  ASSERT_EQ(file.Read(chunk, 1), 1u);
  EXPECT_EQ(chunk[0], bytes[15]);
  EXPECT_EQ(file.Seek(-3, CFile::end), bytes.size() - 3);
  EXPECT_EQ(file.Read(chunk, 16), 3u);
  EXPECT_EQ(std::string(chunk, 3), bytes.substr(bytes.size() - 3));
  EXPECT_EQ(file.Seek(100000, CFile::begin), 100000u);
  ASSERT_EQ(file.Read(chunk, 4), 4u);
  EXPECT_EQ(std::string(chunk, 4), bytes.substr(100000, 4));
  EXPECT_EQ(file.SeekToBegin(), 0u);
  ASSERT_EQ(file.Read(chunk, 2), 2u);
  EXPECT_EQ(std::string(chunk, 2), bytes.substr(0, 2));
  // A large read spanning the buffer and the rest of the file.
  std::string rest(bytes.size(), '\0');
  EXPECT_EQ(file.Read(rest.data(), static_cast<unsigned>(rest.size())), bytes.size() - 2);
  EXPECT_EQ(rest.substr(0, bytes.size() - 2), bytes.substr(2));
  try {
    file.Seek(-1, CFile::begin);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::badSeek);
  }
}

TEST_F(FileTest, BufferedWritesCountInPositionAndLength) {
  CFile file(Path("w"), CFile::modeCreate | CFile::modeReadWrite);
  file.Write("0123456789abcdefghij", 20);
  EXPECT_EQ(file.GetPosition(), 20u);
  EXPECT_EQ(file.GetLength(), 20u);
  // The backup writer goes back to offset 0 to put the digest in place.
  EXPECT_EQ(file.SeekToBegin(), 0u);
  file.Write("XY", 2);
  EXPECT_EQ(file.GetLength(), 20u);
  EXPECT_EQ(file.GetPosition(), 2u);
  ASSERT_TRUE(FlushFileBuffers(file));
  EXPECT_EQ(FileBytes("w"), "XY23456789abcdefghij");
  char c;
  ASSERT_EQ(file.Read(&c, 1), 1u);
  EXPECT_EQ(c, '2');
  file.Write("!", 1);  // writing after reading goes to the read position
  EXPECT_EQ(file.GetPosition(), 4u);
  file.Seek(0, CFile::end);
  const std::string big = Pattern(100000);
  file.Write(big.data(), static_cast<unsigned>(big.size()));
  EXPECT_EQ(file.GetLength(), 20u + big.size());
  file.Close();
  EXPECT_EQ(file.GetHandle(), -1);
  EXPECT_EQ(FileBytes("w"), "XY2!456789abcdefghij" + big);
}

TEST_F(FileTest, WritingToAFullDiskReportsDiskFull) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  CFile file(u"/dev/full", CFile::modeWrite);
  file.Write("abc", 3);
  EXPECT_FALSE(FlushFileBuffers(file));
  try {
    file.Close();
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::diskFull);
    EXPECT_EQ(e.ErrorMessage(), u"Disk full while accessing /dev/full.");
  }
  EXPECT_EQ(file.GetHandle(), -1);
  CFile again(u"/dev/full", CFile::modeWrite);
  const std::string big = Pattern(70000);
  try {
    again.Write(big.data(), static_cast<unsigned>(big.size()));
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::diskFull);
  }
}

TEST_F(FileTest, WritingAFileOpenedForReadingIsRefused) {
  WriteFileBytes("r", "abc");
  CFile file(Path("r"), CFile::modeRead);
  EXPECT_THROW(file.Write("x", 1), CFileException);
  file.Close();
  EXPECT_EQ(FileBytes("r"), "abc");
}

namespace {

// Messages reach the file in groups of at most 0.2 s of work, or one by one with --sync each;
// a committed file takes the target's place, a discarded one leaves no trace.
TEST_F(FileTest, OutputSinkFlushesInGroupsAndCommitsByRename) {
  const std::u16string target = Path("out.bak");
  WriteFileBytes("out.bak", "older");
  larkpost::OutputSink sink(target, {});
  const std::string partial = larkpost::WideToPath(sink.output().writePath);
  auto sizeOnFile = [&] { return larkpost::testing::FileBytes(partial).size(); };
  sink.Write("first", 5);
  sink.MessageWritten();
  sink.Write("second", 6);
  sink.MessageWritten();
  EXPECT_EQ(sizeOnFile(), 0u);  // within the interval: still in the buffer
  std::this_thread::sleep_for(larkpost::OutputSink::kFlushInterval + std::chrono::milliseconds(20));
  sink.Write("third", 5);
  sink.MessageWritten();
  EXPECT_EQ(sizeOnFile(), 16u);
  sink.FlushEachMessage(true);
  sink.Write("fourth", 6);
  sink.MessageWritten();
  EXPECT_EQ(sizeOnFile(), 22u);
  EXPECT_EQ(FileBytes("out.bak"), "older");
  sink.Commit();
  EXPECT_EQ(FileBytes("out.bak"), "firstsecondthirdfourth");
  EXPECT_NE(access(partial.c_str(), F_OK), 0);

  {
    larkpost::OutputSink discarded(target, {});
    discarded.Write("new", 3);
  }
  EXPECT_EQ(FileBytes("out.bak"), "firstsecondthirdfourth");
}

// A target that cannot be gone back in (a pipe) gets the whole file at Close, its head patched:
// a reader never sees the head a writer fills in last.
TEST_F(FileTest, OutputSinkIntoAPipeSendsTheFileWithItsPatchedHead) {
  const std::string fifo = NarrowPath("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  // The sink opens the pipe without waiting for a reader: wait until the reader is there.
  bool sent = false;
  for (int i = 0; i < 500 && !sent; ++i) {
    try {
      larkpost::OutputSink sink(Path("pipe"), {});
      sink.Write("0000 records", 12);
      sink.Patch(0, "0012", 4);
      sink.Commit();
      sent = true;
    } catch (const larkpost::OutputRefused&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!sent) std::ofstream{fifo};  // releases the reader
  reader.join();
  ASSERT_TRUE(sent);
  EXPECT_EQ(received, "0012 records");
}

}  // namespace
