#include "formats/phone_salvage.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>

#include "formats/formats_test_util.h"
#include "formats/phone_zip.h"
#include "platform/file/file.h"

namespace larkpost {
namespace {

using testing::AppLine;
using testing::AppMms;
using testing::AppSms;
using testing::AppXml;
using testing::ReadAll;
using testing::ZipOf;

struct Salvaged {
  std::vector<MessageRecord> messages;
  std::string error;
  SalvageLog log;
  ReadCounts counts;

  std::vector<std::u16string> Texts() const {
    std::vector<std::u16string> texts;
    for (const MessageRecord& message : messages) texts.push_back(message.text);
    return texts;
  }
};

Salvaged SalvageBytes(const std::string& bytes, bool zip) {
  testing::TempDir dir;
  { std::ofstream(dir.PathOf("damaged"), std::ios::binary) << bytes; }
  auto file = std::make_shared<CFile>(dir.File("damaged"), CFile::modeRead);
  Salvaged salvaged;
  auto reader = JoinedReader(zip ? SalvagedZipEntries(file, salvaged.log)
                                 : SalvagedXmlEntries(file, salvaged.log));
  salvaged.messages = testing::ReadAll(*reader, salvaged.error);
  salvaged.counts = reader->counts();
  return salvaged;
}

Salvaged SalvageXml(const std::string& bytes) { return SalvageBytes(bytes, false); }
Salvaged SalvageZip(const std::string& bytes) { return SalvageBytes(bytes, true); }

std::string Sms(int n, const std::string& type = "1") {
  return AppSms("+49151" + std::to_string(n), std::to_string(1704103626000 + n), type,
                "text " + std::to_string(n) + " &lt;3 &quot;ok&quot;");
}

std::u16string Text(int n) { return u"text " + Utf8ToWide(std::to_string(n)) + u" <3 \"ok\""; }

// A file cut inside an attribute, between two entries or inside the root's end tag keeps every
// whole entry before the cut, says where the cut entry began and whether entries are lost.
TEST(SalvageXml, CutFilesKeepEveryWholeEntryBeforeTheCut) {
  const std::string whole = AppXml(Sms(1) + Sms(2) + Sms(3), 3);
  const size_t third = whole.find("<sms ", whole.find("<sms ", whole.find("<sms ") + 1) + 1);
  const size_t lineOfThird = 1 + static_cast<size_t>(std::count(whole.begin(), whole.begin() + third, '\n'));

  Salvaged inAttribute = SalvageXml(whole.substr(0, whole.find("body=", third) + 9));
  EXPECT_EQ(inAttribute.error, "");
  EXPECT_EQ(inAttribute.Texts(), (std::vector<std::u16string>{Text(1), Text(2)}));
  ASSERT_EQ(inAttribute.log.skipped.size(), 1u);
  const DamagedStretch& cut = inAttribute.log.skipped[0];
  EXPECT_EQ(cut.entry, 3u);
  EXPECT_FALSE(cut.betweenEntries);
  EXPECT_EQ(cut.offset, third);
  EXPECT_EQ(cut.line, lineOfThird);
  EXPECT_EQ(cut.length, whole.find("body=", third) + 9 - third);
  EXPECT_EQ(cut.error, "the file ends inside this entry");
  EXPECT_TRUE(inAttribute.log.cutShort);
  EXPECT_EQ(inAttribute.log.declaredEntries, 3u);

  Salvaged between = SalvageXml(whole.substr(0, third));
  EXPECT_EQ(between.Texts(), (std::vector<std::u16string>{Text(1), Text(2)}));
  EXPECT_TRUE(between.log.skipped.empty());
  EXPECT_TRUE(between.log.cutShort);
  EXPECT_EQ(between.log.entriesFound, 2u);  // of the 3 the root counts: one is lost

  Salvaged inEndTag = SalvageXml(whole.substr(0, whole.size() - 4));
  EXPECT_EQ(inEndTag.Texts(), (std::vector<std::u16string>{Text(1), Text(2), Text(3)}));
  EXPECT_EQ(inEndTag.log.entriesFound, 3u);

  Salvaged intact = SalvageXml(whole);
  EXPECT_EQ(intact.messages.size(), 3u);
  EXPECT_TRUE(intact.log.skipped.empty());
  EXPECT_FALSE(intact.log.cutShort);
  EXPECT_EQ(intact.log.entriesKept, 3u);
}

// The calls of a cut file are kept in their place among the messages, as a reading keeps them;
// one the reader refuses is passed over and counted.
TEST(SalvageXml, CallsAreKeptAmongTheMessages) {
  const std::string whole =
      AppXml(Sms(1) + testing::AppCall("+15550001111", "1704103700000", "1", "245", "Ann") +
                 testing::AppCall("+15550001111", "soon", "1", "5") + Sms(2) + Sms(3),
             3);
  const Salvaged cut = SalvageXml(whole.substr(0, whole.rfind("<sms ")));
  EXPECT_EQ(cut.error, "");
  ASSERT_EQ(cut.messages.size(), 3u);
  EXPECT_EQ(cut.messages[1].kind, EntryKind::kCall);
  EXPECT_EQ(cut.messages[1].senderName, u"Ann");
  EXPECT_EQ(cut.messages[2].text, Text(2));
  EXPECT_EQ(cut.counts.calls, 1u);
  EXPECT_EQ(cut.counts.callsSkipped, 1u);
  EXPECT_EQ(cut.log.entriesKept, 2u);

  // The app's own call log, cut: its root is no damage, and its count is not of entries.
  const std::string log =
      testing::AppCallsXml(testing::AppCall("+15550001111", "1704103700000", "1", "245", "Ann") +
                               testing::AppCall("+15550001111", "1704103800000", "2", "5", "Ann"),
                           2);
  const Salvaged calls = SalvageXml(log.substr(0, log.rfind("</calls>")));
  EXPECT_EQ(calls.error, "");
  EXPECT_EQ(calls.counts.calls, 2u);
  EXPECT_TRUE(calls.log.skipped.empty());
  EXPECT_FALSE(calls.log.declaredEntries);
}

// Garbage between entries, an entry the reader refuses and an entry that breaks off where the
// next one begins each cost only themselves; the entries after them are read again.
TEST(SalvageXml, DamageInTheMiddleIsSkippedAndTheEntriesAfterItKept) {
  constexpr char kGarbage[] = "\x01\xff garbage <<<\x00 more>";
  const std::string garbage(kGarbage, sizeof kGarbage - 1);
  const std::string refused = AppSms("+1", "1704103626000", "9", "bad type");
  const std::string broken = "  <sms protocol=\"0\" address=\"+7";
  const std::string before = AppXml(Sms(1), 5);
  const std::string head = before.substr(0, before.find("</smses>"));
  const std::string file = head + garbage + "\n" + Sms(2) + refused +
                           broken + Sms(3) + Sms(4) + "</smses>\n";
  const Salvaged salvaged = SalvageXml(file);
  EXPECT_EQ(salvaged.error, "");
  EXPECT_EQ(salvaged.Texts(), (std::vector<std::u16string>{Text(1), Text(2), Text(3), Text(4)}));
  ASSERT_EQ(salvaged.log.skipped.size(), 3u);

  const DamagedStretch& junk = salvaged.log.skipped[0];
  EXPECT_TRUE(junk.betweenEntries);
  EXPECT_EQ(junk.entry, 2u);  // before entry 2
  EXPECT_EQ(junk.offset, head.size());
  EXPECT_EQ(junk.length, garbage.size());

  const DamagedStretch& badType = salvaged.log.skipped[1];
  EXPECT_EQ(badType.entry, 3u);
  EXPECT_EQ(badType.offset, file.find(refused) + 2);
  EXPECT_NE(badType.error.find("type \"9\" is not a message type"), std::string::npos)
      << badType.error;

  const DamagedStretch& cut = salvaged.log.skipped[2];
  EXPECT_EQ(cut.entry, 4u);
  EXPECT_EQ(cut.offset, file.find(broken) + 2);
  EXPECT_EQ(cut.offset + cut.length, file.find(Sms(3)) + 2);
  EXPECT_FALSE(salvaged.log.cutShort);
  EXPECT_EQ(salvaged.log.entriesFound, 6u);
}

// Memory stays bounded however much is broken: past the first thousand, skipped entries are
// counted rather than listed, and a message of more parts than any phone sends is refused.
TEST(SalvageXml, ThousandsOfBrokenEntriesAndEndlessPartsAreCountedNotHeld) {
  const std::string refused = AppSms("+1", "1704103626000", "9", "bad type");
  std::string entries;
  for (size_t i = 0; i < kMaxListedStretches + 500; ++i) entries += refused;
  const std::string parts = "<mms date=\"1704103626000\" msg_box=\"1\"><parts>" +
                            [] {
                              std::string many;
                              for (size_t i = 0; i <= kMaxMessageParts; ++i) many += "<part/>";
                              return many;
                            }() +
                            "</parts></mms>";
  const Salvaged salvaged = SalvageXml(AppXml(entries + parts + Sms(1), 0));
  EXPECT_EQ(salvaged.Texts(), std::vector<std::u16string>{Text(1)});
  ASSERT_EQ(salvaged.log.skipped.size(), kMaxListedStretches);
  EXPECT_EQ(salvaged.log.unlistedStretches, 501u);
  EXPECT_GE(salvaged.log.unlistedBytes, 500 * (refused.size() - 3) + parts.size());
  EXPECT_EQ(salvaged.log.entriesFound, kMaxListedStretches + 502);
}

// What the scan must not take for entries or damage: comments and instructions (an "<sms"
// inside a comment among them), quoted ">" in values. Entries the app marks as one message sent
// to two recipients are still joined into one message, and the file's declared encoding holds
// for every entry.
TEST(SalvageXml, MarkupAroundEntriesIsReadAsTheReaderReadsIt) {
  const std::string sent = testing::InThread(AppSms("+111", "1704103629000", "2", "to both &gt; all"), "4") +
                           testing::InThread(AppSms("+222", "1704103629000", "2", "to both &gt; all"), "4");
  std::string file = AppXml("  <!-- <sms address=\"+9\" date=\"1\" type=\"1\" /> -->\n" + sent +
                                "  <?pi x?>\n  <sms address=\"+3\" date=\"5\" type=\"1\" body=\"a > b\" />\n",
                            3);
  file.replace(file.find("UTF-8"), 5, "ISO-8859-1");
  file.insert(file.find("a > b"), "caf\xE9 ");
  const Salvaged salvaged = SalvageXml(file);
  EXPECT_EQ(salvaged.error, "");
  EXPECT_TRUE(salvaged.log.skipped.empty()) << salvaged.log.skipped[0].error;
  ASSERT_EQ(salvaged.messages.size(), 2u);
  EXPECT_EQ(salvaged.messages[0].recipients.size(), 2u);
  EXPECT_EQ(salvaged.messages[0].text, u"to both > all");
  EXPECT_EQ(salvaged.messages[1].text, u"caf\u00e9 a > b");
}

// A multimedia entry with attachments larger than any text entry may be is no damage; one cut
// inside its data is skipped, and the text entries around both are kept.
TEST(SalvageXml, MultimediaEntriesOfAnySizeAreEntriesAndCutOnesAreSkipped) {
  const std::string large = AppMms("1704103627000", kMaxEntryBytes + 4096);
  const std::string file = AppXml(Sms(1) + large + Sms(2) + AppMms("1704103628000"), 4);
  const size_t lastMms = file.rfind("<mms");
  const Salvaged salvaged = SalvageXml(file.substr(0, file.find("data=", lastMms) + 100));
  EXPECT_EQ(salvaged.error, "");
  ASSERT_EQ(salvaged.log.skipped.size(), 1u);
  EXPECT_EQ(salvaged.log.skipped[0].entry, 4u);
  EXPECT_EQ(salvaged.log.skipped[0].offset, lastMms);
  EXPECT_EQ(salvaged.log.skipped[0].error, "the file ends inside this entry");
  EXPECT_EQ(salvaged.log.entriesKept, 3u);
  ASSERT_EQ(salvaged.messages.size(), 3u);
  ASSERT_TRUE(salvaged.messages[1].multimedia);
  std::vector<std::u16string> texts;
  for (const MessageRecord& message : salvaged.messages) {
    if (!message.multimedia) texts.push_back(message.text);
  }
  EXPECT_EQ(texts, (std::vector<std::u16string>{Text(1), Text(2)}));
}

std::string Lines(int count) {
  std::string lines;
  for (int n = 1; n <= count; ++n) {
    lines += AppLine("\"+49151" + std::to_string(n) + "\"", std::to_string(1704103626000 + n), "1",
                     "\"line " + std::to_string(n) + " of a longer text " + std::to_string(n * 7919) + "\"");
  }
  return lines;
}

std::u16string LineText(int n) {
  return u"line " + Utf8ToWide(std::to_string(n)) + u" of a longer text " +
         Utf8ToWide(std::to_string(n * 7919));
}

// The archive as the app writes it, by hand from the layout: each file deflated with its sizes
// and checksum in a data descriptor after the data (flag bit 3), in the order given, then the
// central directory. `compressedOut` gets the first file's deflated bytes.
std::string AppArchiveOf(const std::vector<std::pair<std::string, std::string>>& files,
                         std::string* compressedOut = nullptr) {
  auto le = [](uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
  };
  std::string archive, central;
  for (const auto& [name, content] : files) {
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string packed(deflateBound(&stream, static_cast<uLong>(content.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = static_cast<uInt>(packed.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    if (compressedOut != nullptr && archive.empty()) *compressedOut = packed;
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    const size_t localAt = archive.size();
    archive += std::string("PK\3\4", 4) + le(20, 2) + le(8, 2) + le(8, 2) + le(0, 4) + le(0, 4) +
               le(0, 4) + le(0, 4) + le(name.size(), 2) + le(0, 2) + name + packed +
               std::string("PK\7\10", 4) + le(crc, 4) + le(packed.size(), 4) +
               le(content.size(), 4);
    central += std::string("PK\1\2", 4) + le(20, 2) + le(20, 2) + le(8, 2) + le(8, 2) + le(0, 4) +
               le(crc, 4) + le(packed.size(), 4) + le(content.size(), 4) + le(name.size(), 2) +
               le(0, 2) + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) + le(localAt, 4) + name;
  }
  const std::string end = std::string("PK\5\6", 4) + le(0, 2) + le(0, 2) + le(files.size(), 2) +
                          le(files.size(), 2) + le(central.size(), 4) + le(archive.size(), 4) +
                          le(0, 2);
  return archive + central + end;
}

std::string AppArchive(const std::string& ndjson, std::string* compressedOut = nullptr) {
  return AppArchiveOf({{"messages.ndjson", ndjson}}, compressedOut);
}

TEST(SalvageZip, AnArchiveOfTheAppAndOneWithoutItsCentralDirectoryLoseNothing) {
  const std::string lines = Lines(50);
  for (const std::string& zip : {ZipOf({{"calls.ndjson", "{}\n"}, {"messages.ndjson", lines}}),
                                 AppArchive(lines)}) {
    const size_t central = zip.find(std::string("PK\1\2", 4));
    ASSERT_NE(central, std::string::npos);
    for (const std::string& bytes : {zip, zip.substr(0, central)}) {
      const Salvaged salvaged = SalvageZip(bytes);
      EXPECT_EQ(salvaged.error, "");
      EXPECT_EQ(salvaged.messages.size(), 50u);
      EXPECT_EQ(salvaged.messages.back().text, LineText(50));
      EXPECT_TRUE(salvaged.log.skipped.empty());
      EXPECT_TRUE(salvaged.log.notes.empty()) << salvaged.log.notes[0];
      EXPECT_FALSE(salvaged.log.cutShort);
    }
  }
}

// Cut inside the compressed stream: every whole line before the cut, and the place of the cut.
TEST(SalvageZip, ACutArchiveKeepsTheLinesInflatedUpToTheCut) {
  std::string packed;
  const std::string zip = AppArchive(Lines(400), &packed);
  const size_t data = zip.find("messages.ndjson") + 15;
  const size_t cut = data + packed.size() / 2;
  const Salvaged salvaged = SalvageZip(zip.substr(0, cut));
  EXPECT_EQ(salvaged.error, "");
  ASSERT_GT(salvaged.messages.size(), 10u);
  ASSERT_LT(salvaged.messages.size(), 400u);
  for (size_t i = 0; i < salvaged.messages.size(); ++i) {
    ASSERT_EQ(salvaged.messages[i].text, LineText(static_cast<int>(i + 1))) << i;
  }
  EXPECT_TRUE(salvaged.log.cutShort);
  ASSERT_EQ(salvaged.log.notes.size(), 1u);
  EXPECT_NE(salvaged.log.notes[0].find("ends at byte " + std::to_string(cut)), std::string::npos)
      << salvaged.log.notes[0];
  // The line the cut goes through, if one does, is named.
  for (const DamagedStretch& skipped : salvaged.log.skipped) {
    EXPECT_EQ(skipped.entry, salvaged.messages.size() + 1);
    EXPECT_EQ(skipped.error, "the line is cut off where messages.ndjson breaks off");
  }
}

TEST(SalvageZip, DamagedLinesAndADamagedStreamAreSkippedAndNamed) {
  const std::string first = AppLine(R"("+1")", "1000", "1", R"("one")");
  const std::string notJson = R"({"address":"+2","date":"2000",)" "\n";
  const std::string badDate = AppLine(R"("+3")", "x", "1", R"("three")");
  const std::string last = AppLine(R"("+4")", "4000", "1", R"("four")");
  const Salvaged lines = SalvageZip(ZipOf({{"messages.ndjson", first + notJson + badDate + last}}));
  EXPECT_EQ(lines.error, "");
  ASSERT_EQ(lines.messages.size(), 2u);
  EXPECT_EQ(lines.messages[1].text, u"four");
  ASSERT_EQ(lines.log.skipped.size(), 2u);
  EXPECT_EQ(lines.log.skipped[0].entry, 2u);
  EXPECT_EQ(lines.log.skipped[0].offset, first.size());
  EXPECT_EQ(lines.log.skipped[0].length, notJson.size() - 1);
  EXPECT_EQ(lines.log.skipped[1].entry, 3u);
  EXPECT_EQ(lines.log.skipped[1].offset, first.size() + notJson.size());
  EXPECT_FALSE(lines.log.skipped[1].inArchive);

  // Bytes overwritten in the middle of the compressed data: what inflates before them is kept,
  // and the damage is reported, never passed over in silence.
  std::string packed;
  std::string zip = AppArchive(Lines(400), &packed);
  const size_t data = zip.find("messages.ndjson") + 15;
  for (size_t i = 0; i < 64; ++i) zip[data + packed.size() / 2 + i] = static_cast<char>(0xA5 ^ i);
  const Salvaged damaged = SalvageZip(zip);
  EXPECT_EQ(damaged.error, "");
  EXPECT_LT(damaged.messages.size(), 400u);
  EXPECT_TRUE(!damaged.log.skipped.empty() || !damaged.log.notes.empty());
  for (size_t i = 0; i + 1 < damaged.messages.size(); ++i) {
    EXPECT_EQ(damaged.messages[i].text, LineText(static_cast<int>(i + 1))) << i;
  }
}

// Three picture messages as the app writes them, messages.ndjson before the attachments.
struct PictureArchive {
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> pictures;
  PictureArchive() {
    std::string lines;
    std::vector<std::pair<std::string, std::string>> parts;
    for (int n = 0; n < 3; ++n) {
      std::string bytes(6000, '\0');
      uint32_t state = 7u + static_cast<uint32_t>(n);
      for (char& c : bytes) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
      pictures.push_back(bytes);
      lines += testing::AppMmsLine(std::to_string(1704103626 + n), "1", "Ann",
                                   {testing::TextPart("words " + std::to_string(n)),
                                    testing::PicturePart("image/jpeg", "p.jpg", bytes)},
                                   {{"+4915112345678", 137}, {"+4915200000001", 151}}, parts);
    }
    files.emplace_back("messages.ndjson", lines);
    files.insert(files.end(), parts.begin(), parts.end());
  }
  std::string Zip() const { return AppArchiveOf(files); }
  // Where the packed bytes of the n-th attachment begin.
  size_t DataOf(const std::string& zip, int n) const {
    const std::string& name = files[static_cast<size_t>(n) + 1].first;
    return zip.find(name) + name.size();
  }
};

// The text of a salvaged picture message, and its picture's bytes ("" when it has none).
std::pair<std::u16string, std::string> TextAndPicture(const MessageRecord& message) {
  std::pair<std::u16string, std::string> got;
  if (!message.multimedia) return got;
  for (const MessagePart& part : message.multimedia->parts) {
    if (part.text) got.first += *part.text;
    if (part.data != nullptr) got.second = ReadAllBytes(*part.data);
  }
  return got;
}

// Cut before its central directory, an archive keeps every message whose attachment is whole;
// a damaged or cut-off attachment costs its bytes only, the message is kept with its text and
// the attachment is named. Reading the whole archive names the same file as damaged.
TEST(SalvageZip, AttachmentsAreFoundByTheirHeadersAndADamagedOneCostsOnlyItsBytes) {
  const PictureArchive app;
  const std::string zip = app.Zip();
  const std::string cut = zip.substr(0, zip.find(std::string("PK\1\2", 4)));
  const Salvaged whole = SalvageZip(cut);
  EXPECT_EQ(whole.error, "");
  ASSERT_EQ(whole.messages.size(), 3u);
  for (int n = 0; n < 3; ++n) {
    const auto [text, picture] = TextAndPicture(whole.messages[static_cast<size_t>(n)]);
    EXPECT_EQ(text, u"words " + Utf8ToWide(std::to_string(n)));
    EXPECT_EQ(picture, app.pictures[static_cast<size_t>(n)]) << n;
  }
  EXPECT_TRUE(whole.log.notes.empty()) << whole.log.notes[0];

  std::string damaged = zip;
  for (size_t i = 0; i < 16; ++i) damaged[app.DataOf(zip, 1) + 2000 + i] ^= 0x5A;
  const std::string secondFile = app.files[2].first;
  for (const std::string& bytes : {damaged, damaged.substr(0, app.DataOf(zip, 2) + 100)}) {
    const Salvaged salvaged = SalvageZip(bytes);
    ASSERT_EQ(salvaged.messages.size(), 3u);
    EXPECT_EQ(TextAndPicture(salvaged.messages[0]).second, app.pictures[0]);
    EXPECT_EQ(TextAndPicture(salvaged.messages[1]).first, u"words 1");
    EXPECT_EQ(TextAndPicture(salvaged.messages[1]).second, "");
    EXPECT_EQ(TextAndPicture(salvaged.messages[2]).first, u"words 2");
    ASSERT_FALSE(salvaged.log.notes.empty());
    EXPECT_EQ(salvaged.log.notes[0].rfind("line 2: its attachment " + secondFile + " cannot be had (", 0),
              0u)
        << salvaged.log.notes[0];
  }
  const Salvaged cutInThird = SalvageZip(damaged.substr(0, app.DataOf(zip, 2) + 100));
  ASSERT_EQ(cutInThird.log.notes.size(), 2u);
  EXPECT_NE(cutInThird.log.notes[1].find("line 3: its attachment " + app.files[3].first),
            std::string::npos);

  std::string error;
  ReadAll(*JoinedReader(ZipEntriesInBuffer(damaged)), error);
  EXPECT_EQ(error.rfind("messages.ndjson line 2: part number 2: its file " + secondFile +
                            " is damaged (",
                        0),
            0u)
      << error;
}

TEST(SalvageZip, ArchivesThatCannotBeSalvagedAreErrors) {
  EXPECT_NE(SalvageZip("PK\3\4 not much").error.find("no local header of messages.ndjson"),
            std::string::npos);
  std::string zip = AppArchive(Lines(3));
  zip[6] |= 1;  // encrypted
  EXPECT_NE(SalvageZip(zip).error.find("encrypted"), std::string::npos);
  // The same letter over and over packs a thousandfold: refused as the archive reader refuses it.
  const Salvaged bomb =
      SalvageZip(AppArchive(R"({"body":")" + std::string(size_t{17} << 20, 'a') + "\"}\n"));
  EXPECT_NE(bomb.error.find("ZIP bomb"), std::string::npos) << bomb.error;
}

}  // namespace
}  // namespace larkpost
