// Our encrypted files: written through AgeSink and read back through Decryptor, and by position
// through a view, at the sizes where chunks meet, every failure kind from a file damaged the way it happens, the key files as
// age-keygen writes them, and both ways with Debian's age where it is installed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "formats/age_armor.h"
#include "formats/age_file.h"
#include "formats/age_keys.h"
#include "formats/age_primitives.h"
#include "formats/age_stream.h"
#include "formats/age_view.h"
#include "platform/file/file.h"
#include "platform/file/input_view.h"
#include "platform/file/memory_files.h"
#include "testing/temp_dir.h"

namespace larkpost::age {
namespace {

// A sink into memory that can patch anywhere it was written, as a file can.
class StringSink final : public ByteSink {
 public:
  void Write(const void* data, size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
  }
  uint64_t Position() const override { return bytes.size(); }
  void Patch(uint64_t offset, const void* data, size_t size) override {
    ASSERT_LE(offset + size, bytes.size());
    std::memcpy(bytes.data() + offset, data, size);
  }
  void Close() override { closed = true; }
  std::string bytes;
  bool closed = false;
};

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

std::string Encrypt(const std::string& plain, const Recipients& to, size_t piece = 1000) {
  StringSink sink;
  {
    AgeSink age(sink, to);
    for (size_t at = 0; at < plain.size(); at += piece) {
      age.Write(plain.data() + at, std::min(piece, plain.size() - at));
    }
    age.Close();
  }
  EXPECT_TRUE(sink.closed);
  return sink.bytes;
}

std::string Decrypt(const std::string& file, const Keys& keys) {
  MemoryInput input(file);
  Decryptor decryptor(input, keys);
  std::string plain;
  std::string_view piece;
  while (decryptor.Next(piece)) plain.append(piece);
  return plain;
}

AgeError::Kind FailureOf(const std::string& file, const Keys& keys) {
  try {
    Decrypt(file, keys);
  } catch (const AgeError& error) {
    return error.kind;
  }
  ADD_FAILURE() << "decrypted";
  return AgeError::Kind::kKey;
}

struct KeyPair {
  X25519Identity identity = GenerateIdentity();
  Recipients To(bool armor = false) const {
    Recipients to;
    to.x25519 = {identity.publicKey};
    to.armor = armor;
    return to;
  }
  Keys Opening() const { return Keys{{identity}, {}, 22}; }
};

TEST(AgeSink, EverySizeWhereChunksMeetComesBackWholeBinaryAndArmored) {
  const KeyPair key;
  for (const bool armor : {false, true}) {
    for (const size_t size : {size_t{0}, size_t{1}, kChunkSize - 1, kChunkSize, kChunkSize + 1,
                              2 * kChunkSize, 3 * kChunkSize + 5}) {
      SCOPED_TRACE(std::to_string(size) + (armor ? " armored" : ""));
      const std::string plain = Pattern(size);
      const std::string file = Encrypt(plain, key.To(armor), 777);
      EXPECT_EQ(armor, file.rfind(kArmorBegin, 0) == 0);
      EXPECT_TRUE(LooksEncrypted(file.substr(0, 64)));
      EXPECT_EQ(Decrypt(file, key.Opening()), plain);
      // Chunks are full but the last, which is empty only for an empty file.
      const size_t chunks = size == 0 ? 1 : (size + kChunkSize - 1) / kChunkSize;
      if (!armor) {
        const size_t header = file.find("\n--- ") + 5 + 43 + 1;
        EXPECT_EQ(file.size(), header + 16 + size + chunks * kTagSize);
      }
    }
  }
}

TEST(AgeSink, APatchOfTheHeadIsInTheFileEvenAfterTheFirstChunkWentOut) {
  const KeyPair key;
  for (const bool armor : {false, true}) {
    for (const size_t size : {size_t{100}, 3 * kChunkSize + 9}) {
      SCOPED_TRACE(std::to_string(size) + (armor ? " armored" : ""));
      std::string plain = Pattern(size);
      StringSink sink;
      AgeSink age(sink, key.To(armor));
      age.Write(plain.data(), plain.size());
      const std::string count = "COUNT=42";
      age.Patch(16, count.data(), count.size());
      plain.replace(16, count.size(), count);
      if (size > kChunkSize) {  // the last bytes that may be patched
        age.Patch(ByteSink::kPatchableHead - 3, "xyz", 3);
        plain.replace(ByteSink::kPatchableHead - 3, 3, "xyz");
      }
      age.Close();
      EXPECT_EQ(Decrypt(sink.bytes, key.Opening()), plain);
    }
  }
  // Past the patchable head, or after the first chunk left an append-only sink: refused.
  StringSink sink;
  AgeSink unpatchable(sink, key.To(), false);
  const std::string plain = Pattern(2 * kChunkSize);
  unpatchable.Write(plain.data(), plain.size());
  EXPECT_THROW(unpatchable.Patch(0, "x", 1), CFileException);
  EXPECT_THROW(unpatchable.Patch(ByteSink::kPatchableHead, "x", 1), CFileException);
}

TEST(AgeSink, SeveralRecipientsEachOpenTheFileAndAStrangerDoesNot) {
  const KeyPair ann, bob, stranger;
  Recipients to = ann.To();
  to.x25519.push_back(bob.identity.publicKey);
  const std::string file = Encrypt("hello", to);
  EXPECT_EQ(Decrypt(file, ann.Opening()), "hello");
  EXPECT_EQ(Decrypt(file, bob.Opening()), "hello");
  Keys both = stranger.Opening();
  both.identities.push_back(bob.identity);  // an identity file with several keys
  EXPECT_EQ(Decrypt(file, both), "hello");
  EXPECT_EQ(FailureOf(file, stranger.Opening()), AgeError::Kind::kNoMatch);
}

TEST(AgeSink, APassphraseOpensItsFileAndOnlyItsOwn) {
  Recipients to;
  to.passphrase = "correct horse";
  to.workFactor = 10;
  const std::string file = Encrypt(Pattern(70000), to);
  EXPECT_NE(file.find("-> scrypt "), std::string::npos);
  int asked = 0;
  Keys keys{{}, [&] { ++asked; return std::string("correct horse"); }, 22};
  EXPECT_EQ(Decrypt(file, keys), Pattern(70000));
  EXPECT_EQ(asked, 1);
  keys.passphrase = [] { return std::string("wrong horse"); };
  EXPECT_EQ(FailureOf(file, keys), AgeError::Kind::kNoMatch);
  EXPECT_EQ(FailureOf(file, KeyPair().Opening()), AgeError::Kind::kNoMatch);  // never asked
  keys.maxWorkFactor = 9;  // a file asking for more work than we allow is refused unopened
  EXPECT_EQ(FailureOf(file, keys), AgeError::Kind::kHeader);
}

TEST(Decryptor, EachWayAFileIsDamagedHasItsOwnFailure) {
  const KeyPair key;
  const std::string file = Encrypt(Pattern(2 * kChunkSize + 100), key.To());
  const size_t payload = file.find("\n--- ") + 5 + 43 + 1 + 16;
  std::string header = file;
  char& share = header[file.find("-> X25519 ") + 12];
  share = share == 'A' ? 'B' : 'A';  // another share, still base64: no longer opens
  EXPECT_EQ(FailureOf(header, key.Opening()), AgeError::Kind::kNoMatch);
  std::string mac = file;
  mac.insert(file.find("-> X25519"), "-> grease x\n\n");  // an added stanza breaks the MAC
  EXPECT_EQ(FailureOf(mac, key.Opening()), AgeError::Kind::kHeaderMac);
  std::string badLine = file;
  badLine[file.find("\n--- ") + 1] = '+';
  EXPECT_EQ(FailureOf(badLine, key.Opening()), AgeError::Kind::kHeader);
  EXPECT_EQ(FailureOf(file.substr(0, payload - 3), key.Opening()), AgeError::Kind::kHeader);
  std::string flipped = file;
  flipped[payload + kChunkSize + 40] ^= 0x20;
  EXPECT_EQ(FailureOf(flipped, key.Opening()), AgeError::Kind::kModified);
  // Cut at a chunk's end (no last chunk) and cut inside one.
  EXPECT_EQ(FailureOf(file.substr(0, payload + 2 * (kChunkSize + 16)), key.Opening()),
            AgeError::Kind::kTruncated);
  EXPECT_EQ(FailureOf(file.substr(0, payload + 8), key.Opening()), AgeError::Kind::kTruncated);
  EXPECT_EQ(FailureOf(file + "x", key.Opening()), AgeError::Kind::kModified);
  // A whole file with bytes after its full last chunk.
  const std::string whole = Encrypt(Pattern(kChunkSize), key.To());
  EXPECT_EQ(FailureOf(whole + "zz", key.Opening()), AgeError::Kind::kTrailing);
  std::string armored = Encrypt("abc", key.To(true));
  armored.insert(armored.find('\n') + 1, " ");
  EXPECT_EQ(FailureOf(armored, key.Opening()), AgeError::Kind::kArmor);
}

TEST(AgeKeys, KeyFilesAsAgeKeygenWritesThemAndKeysThatAreNot) {
  const X25519Identity identity = GenerateIdentity();
  const std::string recipient = RecipientText(identity.publicKey);
  EXPECT_EQ(recipient.rfind("age1", 0), 0u);
  const std::string file = "# created: 2024-01-01T10:00:00Z\n# public key: " + recipient + "\n" +
                           IdentityText(identity) + "\n";
  const std::vector<X25519Identity> read = ParseIdentityFile(file);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].secret, identity.secret);
  EXPECT_EQ(read[0].publicKey, identity.publicKey);
  EXPECT_EQ(ParseRecipientsFile("# friends\n\n" + recipient + "\r\n" + recipient + "\n").size(),
            2u);
  std::string typo = recipient;
  typo[10] = typo[10] == 'q' ? 'p' : 'q';
  for (const std::string& bad : {typo, recipient + "x", std::string("age1"),
                                 IdentityText(identity)}) {
    EXPECT_THROW(ParseRecipient(bad), AgeError) << bad;
  }
  std::string lower = IdentityText(identity);
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  EXPECT_THROW(ParseIdentity(lower), AgeError);
  EXPECT_THROW(ParseIdentityFile("# only a comment\n"), AgeError);
}

// Debian's age, where it is installed.
bool HaveAge() { return std::system("age --version >/dev/null 2>&1") == 0; }

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(DecryptedView, ReadsAtAnyOffsetThroughCFileWhatTheFileHolds) {
  const KeyPair key;
  testing::TempDir dir;
  const std::string plain = Pattern(3 * kChunkSize + 500);
  for (const bool armor : {false, true}) {
    SCOPED_TRACE(armor ? "armored" : "binary");
    // Written in pieces larger than a chunk: sealed straight from the caller's bytes.
    WriteFile(dir.PathOf("in.age"), Encrypt(plain, key.To(armor), 100000));
    SubstituteInput(dir.File("in.age"), DecryptedView(dir.File("in.age"), key.Opening()));
    CFile file(dir.File("in.age"), CFile::modeRead);
    EXPECT_EQ(file.GetLength(), plain.size());
    const uint64_t last = 3 * kChunkSize;
    for (const uint64_t at : {uint64_t{0}, uint64_t{kChunkSize - 1}, uint64_t{kChunkSize},
                              uint64_t{kChunkSize + 1}, last - 1, last, plain.size() - 1}) {
      std::string got(kChunkSize + 2, '\0');
      got.resize(file.ReadAt(at, got.data(), got.size()));
      EXPECT_EQ(got, plain.substr(at, kChunkSize + 2)) << at;
      file.Seek(static_cast<int64_t>(at), CFile::begin);  // the buffered reads, backwards too
      char three[3] = {};
      EXPECT_EQ(file.Read(three, 3), std::min<uint64_t>(3, plain.size() - at));
      EXPECT_EQ(std::string(three, std::min<uint64_t>(3, plain.size() - at)), plain.substr(at, 3));
    }
    char past = 0;
    EXPECT_EQ(file.ReadAt(plain.size(), &past, 1), 0u);
    ClearSubstitutes();
  }
}

TEST(DecryptedView, ADamagedFileIsRefusedWholeOrForASalvageGivesItsAuthenticChunks) {
  const KeyPair key;
  testing::TempDir dir;
  const std::string plain = Pattern(2 * kChunkSize + 500);
  const std::string file = Encrypt(plain, key.To());
  const std::string aligned = Encrypt(plain.substr(0, 2 * kChunkSize), key.To());
  std::string flipped = file;
  flipped[file.size() - 30] ^= 4;
  const std::string twoChunks = plain.substr(0, 2 * kChunkSize);
  struct Case {
    std::string bytes;
    AgeError::Kind kind;
    std::string salvaged;
  };
  for (const Case& bad :
       {Case{file.substr(0, file.size() - 500 - kTagSize), AgeError::Kind::kTruncated, twoChunks},
        Case{file.substr(0, file.size() - 100), AgeError::Kind::kModified, twoChunks},
        Case{flipped, AgeError::Kind::kModified, twoChunks},
        Case{aligned + "x", AgeError::Kind::kTrailing, twoChunks}}) {
    WriteFile(dir.PathOf("bad.age"), bad.bytes);
    try {
      DecryptedView(dir.File("bad.age"), key.Opening());
      ADD_FAILURE() << "opened";
    } catch (const AgeError& error) {
      EXPECT_EQ(error.kind, bad.kind) << error.what();
    }
    // A salvage reads what the chunks before the damage held, the last one sealed either way.
    std::string damage;
    const auto view = DecryptedView(dir.File("bad.age"), key.Opening(), &damage);
    EXPECT_FALSE(damage.empty());
    std::string got(view->Size() + 1, '\0');
    got.resize(view->NewReader()->ReadAt(0, got.data(), got.size()));
    EXPECT_TRUE(got == bad.salvaged) << got.size();
  }
  // The header's faults are no payload to salvage.
  std::string damage;
  EXPECT_THROW(DecryptedView(dir.File("bad.age"), KeyPair().Opening(), &damage), AgeError);
  // A file changed after it was checked fails the read, never gives other bytes.
  WriteFile(dir.PathOf("in.age"), file);
  const auto view = DecryptedView(dir.File("in.age"), key.Opening());
  WriteFile(dir.PathOf("in.age"), flipped);
  char byte;
  EXPECT_THROW(view->NewReader()->ReadAt(2 * kChunkSize, &byte, 1), CFileException);
}

TEST(SpooledView, KeepsOnlyCiphertextOnTheDiskAndReadsBackByPosition) {
  const std::string plain = Pattern(2 * kChunkSize + 7);
  const auto view = SpooledView(u"spool", [&](const PlainPieces& put) {
    for (size_t at = 0; at < plain.size(); at += 1000) put(std::string_view(plain).substr(at, 1000));
  });
  ASSERT_EQ(view->Size(), plain.size());
  std::string disk(plain.size() + 100, '\0');
  disk.resize(static_cast<size_t>(pread(view->Descriptor(), disk.data(), disk.size(), 0)));
  EXPECT_EQ(disk.find(plain.substr(kChunkSize, 64)), std::string::npos);
  std::string got(kChunkSize, '\0');
  EXPECT_EQ(view->NewReader()->ReadAt(kChunkSize + 7, got.data(), got.size()), kChunkSize);
  EXPECT_EQ(got, plain.substr(kChunkSize + 7));
}

TEST(SealedScratch, WritesPatchesAndReadsBackWithNoPlaintextOnTheDisk) {
  testing::TempDir dir;
  SealScratch(NewScratchSealer());
  FILE* file = OpenScratchBeside(dir.File("out.zip"));
  SealScratch(nullptr);
  std::string plain = Pattern(3 * kChunkSize + 123);
  for (size_t at = 0; at < plain.size(); at += 5000) {
    ASSERT_EQ(fwrite(plain.data() + at, 1, std::min<size_t>(5000, plain.size() - at), file),
              std::min<size_t>(5000, plain.size() - at));
  }
  // A patch across a chunk's end, written after later chunks went to the disk.
  ASSERT_EQ(fseek(file, kChunkSize - 2, SEEK_SET), 0);
  ASSERT_EQ(fwrite("PATCH", 1, 5, file), 5u);
  plain.replace(kChunkSize - 2, 5, "PATCH");
  ASSERT_EQ(fseek(file, 0, SEEK_END), 0);
  EXPECT_EQ(ftell(file), static_cast<long>(plain.size()));
  ASSERT_EQ(fflush(file), 0);
  for (const uint64_t at : {uint64_t{0}, uint64_t{kChunkSize - 3}, uint64_t{3 * kChunkSize}}) {
    std::string got(kChunkSize, '\0');
    got.resize(static_cast<size_t>(ReadScratchAt(file, at, got.data(), got.size())));
    EXPECT_TRUE(got == plain.substr(at, kChunkSize)) << at;
  }
  // The unnamed file beside the output holds none of it.
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (error || target.find(dir.PathOf(".larkpost-")) != 0) continue;
    found = true;
    const std::string disk = testing::FileBytes(entry.path().string());
    EXPECT_GE(disk.size(), plain.size());
    EXPECT_EQ(disk.find("PATCH"), std::string::npos);
    EXPECT_EQ(disk.find(plain.substr(2 * kChunkSize, 32)), std::string::npos);
  }
  EXPECT_TRUE(found);
  fclose(file);
}

TEST(AgeInterop, OurFilesOpenWithAgeAndAgesFilesOpenWithUs) {
  if (!HaveAge()) GTEST_SKIP() << "age is not installed";
  testing::TempDir dir;
  const KeyPair ann, bob;
  WriteFile(dir.PathOf("ann.key"), IdentityText(ann.identity) + "\n");
  WriteFile(dir.PathOf("bob.key"), "# bob\n" + IdentityText(bob.identity) + "\n");
  const std::string plain = Pattern(3 * kChunkSize + 17);
  WriteFile(dir.PathOf("plain"), plain);
  for (const bool armor : {false, true}) {
    SCOPED_TRACE(armor ? "armored" : "binary");
    Recipients to = ann.To(armor);
    to.x25519.push_back(bob.identity.publicKey);
    WriteFile(dir.PathOf("ours.age"), Encrypt(plain, to, 100000));
    for (const char* key : {"ann.key", "bob.key"}) {
      ASSERT_EQ(Shell("age -d -i " + dir.PathOf(key) + " -o " + dir.PathOf("out") + " " +
                      dir.PathOf("ours.age")), 0);
      EXPECT_EQ(testing::FileBytes(dir.PathOf("out")), plain);
    }
    ASSERT_EQ(Shell(std::string("age ") + (armor ? "-a " : "") + "-r " +
                    RecipientText(ann.identity.publicKey) + " -r " +
                    RecipientText(bob.identity.publicKey) + " -o " + dir.PathOf("theirs.age") +
                    " " + dir.PathOf("plain")), 0);
    const std::string theirs = testing::FileBytes(dir.PathOf("theirs.age"));
    EXPECT_TRUE(LooksEncrypted(theirs.substr(0, 64)));
    EXPECT_EQ(Decrypt(theirs, ann.Opening()), plain);
    EXPECT_EQ(Decrypt(theirs, bob.Opening()), plain);
  }
  // A key made by age-keygen, and age's own empty file.
  ASSERT_EQ(Shell("age-keygen -o " + dir.PathOf("keygen.key") + " 2>/dev/null"), 0);
  const std::vector<X25519Identity> made =
      ParseIdentityFile(testing::FileBytes(dir.PathOf("keygen.key")));
  ASSERT_EQ(Shell("age -r " + RecipientText(made[0].publicKey) + " -o " + dir.PathOf("e.age") +
                  " /dev/null"), 0);
  EXPECT_EQ(Decrypt(testing::FileBytes(dir.PathOf("e.age")), Keys{made, {}, 22}), "");
}

// age asks for a passphrase on its terminal only: a pseudo-terminal answers each prompt.
constexpr char kAnswerPrompts[] = R"(import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
seen, answered = b"", 0
while True:
    try:
        chunk = os.read(fd, 1024)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
    if seen.lower().count(b"passphrase") > answered and seen.rstrip().endswith(b":"):
        os.write(fd, sys.argv[1].encode() + b"\n")
        answered += 1
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
)";

TEST(AgeInterop, PassphraseFilesOpenBothWays) {
  if (!HaveAge() || Shell("python3 -c 'import pty' 2>/dev/null") != 0) {
    GTEST_SKIP() << "age or python3 is not installed";
  }
  testing::TempDir dir;
  WriteFile(dir.PathOf("answer.py"), kAnswerPrompts);
  const std::string answer = "python3 " + dir.PathOf("answer.py") + " 'pass word' ";
  const std::string plain = Pattern(kChunkSize + 3);
  WriteFile(dir.PathOf("plain"), plain);
  Recipients to;
  to.passphrase = "pass word";
  to.workFactor = 12;  // age reads any work factor; ours keeps the test quick
  WriteFile(dir.PathOf("ours.age"), Encrypt(plain, to));
  ASSERT_EQ(Shell(answer + "age -d -o " + dir.PathOf("out") + " " + dir.PathOf("ours.age") +
                  " >/dev/null"), 0);
  EXPECT_EQ(testing::FileBytes(dir.PathOf("out")), plain);
  ASSERT_EQ(Shell(answer + "age -p -a -o " + dir.PathOf("theirs.age") + " " + dir.PathOf("plain") +
                  " >/dev/null"), 0);
  const Keys keys{{}, [] { return std::string("pass word"); }, 22};
  EXPECT_EQ(Decrypt(testing::FileBytes(dir.PathOf("theirs.age")), keys), plain);
}

}  // namespace
}  // namespace larkpost::age
