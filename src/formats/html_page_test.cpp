#include "formats/html_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <jpeglib.h>
#include <libheif/heif.h>
#include <unistd.h>

#include "formats/formats_test_util.h"
#include "formats/html_page_preview.h"
#include "formats/page_media.h"
#include "formats/phone_xml.h"
#include "formats/test_pictures.h"
#include "platform/file/file.h"
#include "platform/file/byte_sink.h"

// x265, the HEVC encoder through which libheif builds the tests' HEIC pictures, keeps global
// allocations until its cleanup, which libheif runs only when the last user of the library
// lets it go (the page's decoder never does). The leak checker of a sanitized build is told
// about them here, so it keeps watching everything else.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\n";
}

namespace larkpost {
namespace {

FILETIME At(int64_t unixSeconds) { return UnixTimeToFileTime(unixSeconds); }

MessageRecord Received(const std::u16string& folder, int64_t when, const std::u16string& name,
                       const std::u16string& address, const std::u16string& text) {
  MessageRecord record;
  record.folderPath = folder;
  record.deliveryTime = record.lastModified = At(when);
  record.senderName = name;
  record.senderAddress = address;
  record.text = text;
  return record;
}

MessageRecord Sent(const std::u16string& folder, int64_t when,
                   std::vector<RecordRecipient> recipients, const std::u16string& text) {
  MessageRecord record;
  record.folderPath = folder;
  record.deliveryTime = record.lastModified = At(when);
  record.recipients = std::move(recipients);
  record.text = text;
  return record;
}

// A small archive of the kind people keep, out of order as a backup walks folders.
std::vector<MessageRecord> Archive() {
  constexpr int64_t kDay = 86400;
  const int64_t t = 1704103626;  // 2024-01-01 10:07:06 UTC
  return {
      Sent(u"Sentedbox", t + 120, {{u"Ann Weber", u"+4915112345678", 1}},
           u"Sure! I'll bring the pizza \U0001F355"),
      Received(u"Inbox", t, u"Ann Weber", u"+4915112345678",
               u"Are you coming tonight? Bring something to eat."),
      Received(u"Inbox\\Family", t + 2 * kDay + 300, u"Mum", u"+4930123456",
               u"Happy new year, darling!\nCall me when you are up."),
      Sent(u"Sentedbox", t + 2 * kDay + 900, {{u"Mum", u"+4930123456", 1}},
           u"Happy new year! Calling you at noon \u2764\ufe0f"),
      Received(u"Inbox", t + kDay + 60, u"", u"+8613800000000", u"你好！明天见。"),
      Received(u"Wastebox", t + 3 * kDay, u"", u"SHOP-INFO",
               u"<script>alert('hi')</script> Your code is <b>4711</b> & valid 10 min."),
      Sent(u"Draft", t + 3 * kDay + 60, {{u"Ann Weber", u"+4915112345678", 1}},
           u"Thanks for the evening \u2013 next time at our place?"),
      Sent(u"Sentedbox", t + kDay * 1 + 3600,
           {{u"Ann Weber", u"+4915112345678", 1}, {u"Bob", u"+4917099887766", 1}},
           u"Running 10 minutes late, sorry!"),
  };
}

std::string ReadFile(const std::string& path) { return testing::FileBytes(path); }

MessagePart Part(const std::u16string& type, const std::u16string& name, std::string bytes) {
  MessagePart part;
  part.contentType = type;
  part.name = name;
  part.contentLocation = name;
  part.data = BytesInMemory(std::move(bytes));
  return part;
}

MessagePart TextPart(const std::u16string& text) {
  MessagePart part;
  part.contentType = u"text/plain";
  part.charset = u"106";
  part.text = text;
  return part;
}

MessagePart Layout() {
  MessagePart part;
  part.seq = u"-1";
  part.contentType = u"application/smil";
  part.name = u"smil.xml";
  part.text = u"<smil><body><par dur=\"5000ms\"><img src=\"image000000.jpg\"/></par></body></smil>";
  return part;
}

struct Party {
  std::u16string name, address;
};
const Party kMe{u"", u"+4915200000001"};
const Party kAnn{u"Ann Weber", u"+4915112345678"};
const Party kBob{u"Bob", u"+4917099887766"};
const Party kCem{u"Cem", u"+4916055544433"};

// A multimedia message as the readers yield it: the From address as the sender, the others as
// recipients (To 1), every address with its role, the text parts' texts as the text.
MessageRecord Mms(bool received, int64_t when, const Party& from, const std::vector<Party>& to,
                  std::vector<MessagePart> parts) {
  MessageRecord record;
  record.folderPath = received ? u"Inbox" : u"Sentedbox";
  record.deliveryTime = record.lastModified = At(when);
  record.senderName = from.name;
  record.senderAddress = from.address;
  auto multimedia = std::make_shared<Multimedia>();
  multimedia->addresses.push_back({from.address, kRoleFrom, u"106", {}});
  for (const Party& party : to) {
    record.recipients.push_back({party.name, party.address, 1});
    multimedia->addresses.push_back({party.address, kRoleTo, u"106", {}});
  }
  for (const MessagePart& part : parts) {
    if (part.text && part.contentType == u"text/plain") {
      record.text += (record.text.empty() ? u"" : u"\n") + *part.text;
    }
  }
  multimedia->parts = std::move(parts);
  multimedia->extras = {{"m_type", received ? u"132" : u"128"}, {"sub", std::nullopt}};
  record.multimedia.value = std::move(multimedia);
  return record;
}

// A group chat of Ann, Bob and the owner, pictures and a contact card in it, a picture from
// Ann alone, and SMS with Ann: two conversations, the group's and Ann's.
std::vector<MessageRecord> WithPictures(bool drawn) {
  const int64_t t = 1704300000;  // 2024-01-03 16:40 UTC
  const std::string sunset = drawn ? testing::DrawnPng(240, 160, 0xF08A5D) : testing::SmallJpeg();
  const std::string lake = drawn ? testing::DrawnPng(180, 240, 0x3B7DD8) : testing::TinyPng();
  return {
      Received(u"Inbox", t - 3600, kAnn.name, kAnn.address, u"Look at the photos in the group!"),
      Mms(true, t, kAnn, {kMe, kBob},
          {Layout(), Part(u"image/jpeg", u"image000000.jpg", sunset),
           TextPart(u"Sunset at the lake \U0001F305")}),
      Mms(true, t + 300, kBob, {kMe, kAnn},
          {Layout(), TextPart(u"Wow. Mine from this morning:"),
           Part(u"image/png", u"IMG_0042.png", lake), Part(u"image/gif", u"wave.gif", testing::TinyGif())}),
      Mms(false, t + 600, kMe, {kAnn, kBob},
          {Layout(), TextPart(u"Here is Cem's number for Saturday"),
           Part(u"text/x-vCard", u"Cem.vcf", "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Cem\r\nTEL:+4916055544433\r\nEND:VCARD\r\n"),
           Part(u"image/webp", u"sticker.webp", testing::SmallWebp()),
           Part(u"image/bmp", u"scan.bmp", testing::TinyBmp())}),
      Mms(true, t - 1800, kAnn, {kMe}, {Part(u"audio/amr", u"voice note.amr", std::string("#!AMR\n", 6) + std::string(300, '\x3c'))}),
  };
}

// The page `name` of `records` with its media folder beside it, as a conversion writes it.
std::string WritePageWithMedia(const std::string& folder, const std::vector<MessageRecord>& records,
                               const std::string& name = "page.html") {
  const std::string media = folder + "/" + MediaFolderNameFor(name);
  EXPECT_EQ(mkdir(media.c_str(), 0700), 0);
  const int fd = open(media.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  CFile file(Utf8ToWide(folder + "/" + name), CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  auto writer = HtmlWriter(sink, PageMedia{MediaFolderNameFor(name), [fd] { return fd; }});
  std::string error;
  for (const MessageRecord& record : records) EXPECT_TRUE(writer->Write(record, error));
  writer->Finish();
  file.Close();
  close(fd);
  return ReadFile(folder + "/" + name);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

std::string WritePage(const std::u16string& path) {
  CFile file(path, CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  auto writer = HtmlWriter(sink);
  std::string error;
  for (const MessageRecord& record : Archive()) EXPECT_TRUE(writer->Write(record, error));
  writer->Finish();
  file.Close();
  return ReadFile(WideToUtf8(path));
}

TEST(HtmlPage, EscapesTextAndShowsConversationsNewestLast) {
  testing::TempDir dir;
  const std::string page = WritePage(dir.File("page.html"));
  EXPECT_NE(page.find("&lt;script&gt;alert(&#39;hi&#39;)&lt;/script&gt; Your code is &lt;b&gt;4711"),
            std::string::npos);
  EXPECT_EQ(page.find("<b>4711"), std::string::npos);
  EXPECT_EQ(page.find("http"), page.find("http-equiv"));  // nothing fetched from anywhere
  EXPECT_NE(page.find("8 messages in 5 conversations"), std::string::npos);

  // Conversations by their latest message, latest first; inside one, oldest first.
  const size_t shop = page.find("SHOP-INFO</span>");
  const size_t ann = page.find("<span class=\"who\">Ann Weber</span>");
  const size_t mum = page.find("<span class=\"who\">Mum</span>");
  const size_t group = page.find("<span class=\"who\">Ann Weber, Bob</span>");
  ASSERT_NE(ann, std::string::npos);
  EXPECT_LT(ann, shop);  // the draft to Ann is the newest message
  EXPECT_LT(shop, mum);
  EXPECT_LT(mum, group);
  const size_t first = page.find("Are you coming tonight", ann);
  const size_t second = page.find("pizza", ann);
  const size_t third = page.find("next time at our place", ann);
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_LT(third, mum);
  EXPECT_NE(page.find("<span class=\"f\">Inbox / Family</span>"), std::string::npos);
  EXPECT_NE(page.find("class=\"m out draft\""), std::string::npos);
}

TEST(HtmlPage, AGroupChatIsOneConversationWithEveryMemberAndTheOwnerLeftOut) {
  testing::TempDir dir;
  const std::string page = WritePageWithMedia(dir.path(), WithPictures(false));
  EXPECT_NE(page.find("5 messages in 2 conversations"), std::string::npos) << page;
  // The group's latest message is the latest of all: its conversation comes first, then Ann's
  // with her SMS and the voice note she sent the owner alone.
  const size_t first = page.find("<section id=\"c");
  ASSERT_NE(first, std::string::npos);
  const std::string chat = page.substr(first, page.find("</section>", first) - first);
  const size_t second = page.find("<section id=\"c", first + 1);
  ASSERT_NE(second, std::string::npos);
  const std::string ann = page.substr(second, page.find("</section>", second) - second);
  EXPECT_NE(ann.find("voice note.amr"), std::string::npos);
  EXPECT_NE(ann.find("Look at the photos"), std::string::npos);
  EXPECT_EQ(Count(ann, "<li class=\"m "), 2u);
  EXPECT_NE(chat.find("class=\"group\""), std::string::npos);
  EXPECT_NE(chat.find("<span class=\"who\">Ann Weber, Bob</span><span class=\"num\">"
                      "+4915112345678, +4917099887766</span>"),
            std::string::npos)
      << chat;
  EXPECT_EQ(chat.find("+4915200000001"), std::string::npos);  // the owner's own number
  EXPECT_EQ(Count(chat, "<li class=\"m "), 3u);
  // Who wrote each received message of the group; the SMIL layout is never shown.
  EXPECT_NE(chat.find("<p class=\"s\">Ann Weber</p>"), std::string::npos);
  EXPECT_NE(chat.find("<p class=\"s\">Bob</p>"), std::string::npos);
  EXPECT_EQ(page.find("smil"), std::string::npos);
  // Every conversation in the list to jump to.
  EXPECT_NE(page.find("<a href=\"#c0\">"), std::string::npos);
  EXPECT_NE(page.find("<a href=\"#c1\">"), std::string::npos);
}

// A sent picture message whose file lists the party only as its From address (as some files
// write it), and its contact_name names: it is in the party's conversation, headed by the name.
TEST(HtmlPage, ASentPictureMessageNamedByItsFileIsInItsPartysConversation) {
  testing::TempDir dir;
  const std::string xml = testing::AppXml(
      testing::AppSms("5559876543", "1699650000000", "1", "Did you see the game?", "Sarah") +
          testing::AppMmsOf("1699653600000", "2", "5559876543", "Sarah",
                            {testing::TextPart("Me too! Look:"),
                             testing::PicturePart("image/jpeg", "IMG_2023.jpg", testing::SmallJpeg())},
                            {{"5559876543", 137}}),
      2);
  auto reader = JoinedReader(XmlEntries(BufferByteSource(xml), std::make_shared<PartSpool>(dir.File("spool"))));
  std::string error;
  const std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  const std::string page = WritePageWithMedia(dir.path(), records);
  EXPECT_NE(page.find("2 messages in 1 conversation"), std::string::npos) << page;
  EXPECT_NE(page.find("<span class=\"who\">Sarah</span>"), std::string::npos) << page;
  EXPECT_EQ(page.find("(nobody)"), std::string::npos);
}

// The owner is whoever received every multimedia message: a member who only ever received in the
// group is still a member, and one group's messages alone name nobody the owner.
TEST(HtmlPage, AMemberWhoNeverWritesStaysInTheGroup) {
  testing::TempDir dir;
  const std::vector<MessagePart> hello = {TextPart(u"Hello all")};
  const std::string page = WritePageWithMedia(
      dir.path(), {Mms(true, 1704300000, kAnn, {kMe, kBob}, hello),
                   Mms(true, 1704300600, kAnn, {kMe}, {TextPart(u"Only to you")})});
  EXPECT_NE(page.find("2 messages in 2 conversations"), std::string::npos) << page;
  EXPECT_NE(page.find("<span class=\"who\">Ann Weber, Bob</span>"), std::string::npos) << page;

  testing::TempDir alone;
  const std::string group =
      WritePageWithMedia(alone.path(), {Mms(true, 1704300000, kAnn, {kMe, kBob}, hello)});
  EXPECT_NE(group.find("1 message in 1 conversation"), std::string::npos) << group;
  EXPECT_NE(group.find("Bob"), std::string::npos) << group;
  EXPECT_NE(group.find("class=\"group\""), std::string::npos) << group;
}

TEST(HtmlPage, PicturesShowInlineWithTheirSizeAndOtherPartsAreLinks) {
  testing::TempDir dir;
  const std::string page = WritePageWithMedia(dir.path(), WithPictures(false));
  // Each part's bytes as they were, in a file of mode 0600.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"image000000.jpg", testing::SmallJpeg()}, {"IMG_0042.png", testing::TinyPng()},
      {"wave.gif", testing::TinyGif()},          {"sticker.webp", testing::SmallWebp()},
      {"scan.bmp", testing::TinyBmp()}};
  for (const auto& [name, bytes] : files) {
    EXPECT_EQ(ReadFile(dir.PathOf("page_files/" + name)), bytes) << name;
    struct stat info {};
    ASSERT_EQ(stat(dir.PathOf("page_files/" + name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  // Shown in their proportions, the tiny ones at least 64 pixels.
  EXPECT_NE(page.find("<img src=\"page_files/image000000.jpg\" alt=\"image000000.jpg\" "
                      "width=\"64\" height=\"48\" loading=\"lazy\""),
            std::string::npos);
  EXPECT_NE(page.find("src=\"page_files/sticker.webp\" alt=\"sticker.webp\" width=\"64\" height=\"48\""),
            std::string::npos);
  EXPECT_NE(page.find("width=\"64\" height=\"32\""), std::string::npos);  // the BMP
  EXPECT_EQ(Count(page, "<img "), 5u);
  EXPECT_EQ(Count(page, "loading=\"lazy\""), 5u);
  // The contact card and the voice note as links, the name escaped as a URL.
  EXPECT_NE(page.find("<a href=\"page_files/Cem.vcf\" target=\"_blank\">Cem.vcf</a>"),
            std::string::npos);
  EXPECT_NE(page.find("<a href=\"page_files/voice%20note.amr\""), std::string::npos);
  EXPECT_EQ(ReadFile(dir.PathOf("page_files/voice note.amr")).size(), 306u);
  // Text parts in their place, between the pictures.
  EXPECT_LT(page.find("Wow. Mine from this morning:"), page.find("IMG_0042.png"));
  EXPECT_LT(page.find("image000000.jpg"), page.find("Sunset at the lake"));
  EXPECT_NE(page.find("img-src 'self'"), std::string::npos);
  EXPECT_NE(page.find("'page_files/'"), std::string::npos);
}

TEST(HtmlPage, WithoutAMediaFolderAttachmentsAreNamedAndThePolicyAllowsNoPicture) {
  testing::TempDir dir;
  CFile file(dir.File("page.html"), CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  auto writer = HtmlWriter(sink);
  std::string error;
  for (const MessageRecord& record : WithPictures(false)) ASSERT_TRUE(writer->Write(record, error));
  writer->Finish();
  file.Close();
  const std::string page = ReadFile(dir.PathOf("page.html"));
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("img-src"), std::string::npos);
  EXPECT_NE(page.find("image000000.jpg<span class=\"z\">779 bytes, not saved</span>"),
            std::string::npos);
}

TEST(PageMedia, UnsafeNamesBecomeHarmlessFilesOfTheFolder) {
  testing::TempDir dir;
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  MediaFolder media(PageMedia{"my page_files", [fd] { return fd; }}, dir.File("page.html"));
  auto save = [&](const std::u16string& type, const std::u16string& name) {
    MessagePart part = Part(type, u"", "bytes");
    part.name.reset();
    part.contentLocation = name;
    return media.Save(part);
  };
  const MediaFolder::Saved climb = save(u"image/png", u"../../escape.png");
  EXPECT_EQ(climb.name, "_.._escape.png");
  EXPECT_EQ(climb.href, "my%20page_files/_.._escape.png");
  EXPECT_EQ(save(u"image/jpeg", u"..").name, "attachment.jpg");
  EXPECT_EQ(save(u"image/jpeg", u".profile").name, "profile.jpg");
  EXPECT_EQ(save(u"text/plain", u"a\x01" u"b\r\n\u202Etxt.exe").name, "a_b___txt.exe.txt");
  // Pictures keep a picture's ending; any ending a browser might show as a page or run, or
  // does not know, gets the ending of an inert kind: the part's own, else ".txt".
  EXPECT_EQ(save(u"image/png", u"photo.exe").name, "photo.exe.png");
  EXPECT_EQ(save(u"text/html", u"invite.HTML").name, "invite.html.txt");
  EXPECT_EQ(save(u"image/svg+xml", u"logo.svg").name, "logo.svg.txt");
  EXPECT_EQ(save(u"text/html", u"a.shtm").name, "a.shtm.txt");
  EXPECT_EQ(save(u"application/xhtml+xml", u"b.xhtm").name, "b.xhtm.txt");
  EXPECT_EQ(save(u"audio/amr", u"c.ehtml").name, "c.ehtml.amr");
  EXPECT_EQ(save(u"application/octet-stream", u"d.xyz").name, "d.xyz.txt");
  EXPECT_EQ(save(u"application/pdf", u"e.pdf").name, "e.pdf");
  EXPECT_EQ(save(u"audio/amr", u"").name, "attachment.amr");
  // Unique however the letters are cased; long names cut before a character, not inside one.
  EXPECT_EQ(save(u"image/jpeg", u"IMG.JPG").name, "IMG.jpg");
  EXPECT_EQ(save(u"image/jpeg", u"img.jpg").name, "img-2.jpg");
  EXPECT_EQ(save(u"image/jpeg", u"img.jpg").name, "img-3.jpg");
  const std::string cut = save(u"image/png", std::u16string(200, u'\u00E4') + u".png").name;
  EXPECT_LE(cut.size(), 120u);
  EXPECT_EQ(cut.substr(cut.size() - 4), ".png");
  EXPECT_EQ(Utf8ToWide(cut).find(u'\uFFFD'), std::u16string::npos);
  // Nothing was written outside the folder, and every file is there.
  EXPECT_EQ(dir.Names().size(), 17u);
  EXPECT_EQ(access((dir.path() + "/../escape.png").c_str(), F_OK), -1);
  close(fd);
}

TEST(PageMedia, PictureSizesComeFromTheirFirstBytes) {
  auto sizeOf = [](const std::string& bytes) {
    uint32_t width = 0, height = 0;
    PictureSize(
        [&bytes](uint64_t offset, unsigned char* buffer, size_t count) -> size_t {
          if (offset >= bytes.size()) return 0;
          const size_t got = std::min<size_t>(count, bytes.size() - offset);
          std::memcpy(buffer, bytes.data() + offset, got);
          return got;
        },
        width, height);
    return std::to_string(width) + "x" + std::to_string(height);
  };
  EXPECT_EQ(sizeOf(testing::TinyPng()), "1x1");
  EXPECT_EQ(sizeOf(testing::TinyGif()), "1x1");
  EXPECT_EQ(sizeOf(testing::TinyBmp()), "2x1");
  EXPECT_EQ(sizeOf(testing::SmallJpeg()), "8x6");  // past its ICC profile
  EXPECT_EQ(sizeOf(testing::SmallWebp()), "8x6");
  EXPECT_EQ(sizeOf(testing::DrawnPng(240, 160, 0)), "240x160");
  // Cut short or no picture at all: not known, and nothing read out of bounds.
  EXPECT_EQ(sizeOf(testing::SmallJpeg().substr(0, 300)), "0x0");
  EXPECT_EQ(sizeOf(testing::TinyPng().substr(0, 20)), "0x0");
  EXPECT_EQ(sizeOf(std::string("\xFF\xD8\xFF\xE0\x00\x00", 6)), "0x0");
  EXPECT_EQ(sizeOf("BEGIN:VCARD"), "0x0");
}

// A HEIC picture as a phone writes one, encoded with libheif's own HEVC encoder: its left half red,
// its right half blue, with a thumbnail of at most 64 pixels when asked. Empty without an encoder.
std::string Heic(int width, int height, bool thumbnail) {
  if (!heif_have_encoder_for_format(heif_compression_HEVC)) return std::string();
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
  heif_encoder_set_lossy_quality(encoder, 90);
  heif_image* image = nullptr;
  heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, width, height, 8);
  int stride = 0;
  uint8_t* pixels = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* pixel = pixels + y * stride + x * 3;
      pixel[0] = x < width / 2 ? 0xE0 : 0x20;
      pixel[1] = x < width / 2 ? 0x20 : 0x40;
      pixel[2] = x < width / 2 ? 0x20 : 0xE0;
    }
  }
  heif_image_handle* handle = nullptr;
  heif_context_encode_image(context, image, encoder, nullptr, &handle);
  if (thumbnail) heif_context_encode_thumbnail(context, image, handle, encoder, nullptr, 64, nullptr);
  std::string bytes;
  heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* out) {
                       static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
                       return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                     }};
  heif_context_write(context, &writer, &bytes);
  heif_image_handle_release(handle);
  heif_image_release(image);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return bytes;
}

// The picture's size as its header (its "ispe" property of `width` x `height`) declares it, made
// `toWidth` x `toHeight`: what a file claiming a huge picture looks like.
std::string Declared(std::string heic, uint32_t width, uint32_t height, uint32_t toWidth,
                     uint32_t toHeight) {
  auto big = [](uint32_t value) {
    return std::string{static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                       static_cast<char>(value >> 8), static_cast<char>(value)};
  };
  const std::string from = "ispe" + std::string(4, '\0') + big(width) + big(height);
  const size_t at = heic.find(from);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) heic.replace(at + 8, 8, big(toWidth) + big(toHeight));
  return heic;
}

// A JPEG's size and the colour of two of its pixels, as libjpeg decodes it.
struct Decoded {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  int channel(int x, int y, int c) const { return rgb[(static_cast<size_t>(y) * width + x) * 3 + c]; }
};
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf back;
};
Decoded DecodedJpeg(const std::string& bytes) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = [](j_common_ptr failed) {
    std::longjmp(reinterpret_cast<JpegErrors*>(failed->err)->back, 1);
  };
  Decoded decoded;
  if (setjmp(errors.back) != 0) {
    jpeg_destroy_decompress(&info);
    return Decoded{};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    decoded.width = static_cast<int>(info.output_width);
    decoded.height = static_cast<int>(info.output_height);
    decoded.rgb.resize(static_cast<size_t>(decoded.width) * decoded.height * 3);
    while (info.output_scanline < info.output_height) {
      JSAMPROW row = decoded.rgb.data() + static_cast<size_t>(info.output_scanline) * decoded.width * 3;
      jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
  }
  jpeg_destroy_decompress(&info);
  return decoded;
}

// A HEIC picture shows through a JPEG made of it, the original beside it as the download; one
// that cannot be decoded, or declares a size beyond the bound, stays a link as any file is (or
// shows through its thumbnail), and the page is written all the same.
TEST(HtmlPage, HeicPicturesShowThroughAJpegAndKeepTheOriginal) {
  const std::string photo = Heic(160, 120, true);
  if (photo.empty()) GTEST_SKIP() << "libheif has no HEVC encoder here";
  const std::string wide = Heic(2100, 16, false);
  const std::string huge = Declared(photo, 160, 120, 9000, 9000);  // the thumbnail stays small
  const std::string beyond = Declared(Heic(160, 120, false), 160, 120, 100000, 100000);
  const std::string broken = photo.substr(0, photo.size() / 2);
  testing::TempDir dir;
  const std::string page = WritePageWithMedia(
      dir.path(),
      {Mms(true, 1704300000, kAnn, {kMe},
           {Part(u"image/heic", u"IMG_0001.HEIC", photo), Part(u"image/heif", u"wide.heif", wide),
            Part(u"image/heic", u"huge.heic", huge), Part(u"image/heic", u"beyond.heic", beyond),
            Part(u"image/heic", u"broken.heic", broken)})});

  EXPECT_EQ(ReadFile(dir.PathOf("page_files/IMG_0001.heic")), photo);
  const Decoded shown = DecodedJpeg(ReadFile(dir.PathOf("page_files/IMG_0001.heic.jpg")));
  ASSERT_EQ(shown.width, 160);
  ASSERT_EQ(shown.height, 120);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(shown.channel(30, 60, c), (std::array{0xE0, 0x20, 0x20})[c], 24) << c;
    EXPECT_NEAR(shown.channel(130, 60, c), (std::array{0x20, 0x40, 0xE0})[c], 24) << c;
  }
  EXPECT_NE(page.find("<img src=\"page_files/IMG_0001.heic.jpg\" alt=\"IMG_0001.heic.jpg\" "
                      "width=\"160\" height=\"120\""),
            std::string::npos) << page;
  EXPECT_NE(page.find("<a href=\"page_files/IMG_0001.heic\" download>IMG_0001.heic</a>"),
            std::string::npos) << page;

  // Longer than the preview's bound: scaled down by whole boxes, its colours kept.
  const Decoded narrowed = DecodedJpeg(ReadFile(dir.PathOf("page_files/wide.heif.jpg")));
  EXPECT_EQ(narrowed.width, 1050);
  EXPECT_EQ(narrowed.height, 8);
  EXPECT_NEAR(narrowed.channel(100, 4, 0), 0xE0, 24);
  EXPECT_NEAR(narrowed.channel(950, 4, 2), 0xE0, 24);

  // Declared larger than the bound: not decoded; its thumbnail shows when it has one.
  const Decoded thumbnail = DecodedJpeg(ReadFile(dir.PathOf("page_files/huge.heic.jpg")));
  EXPECT_EQ(thumbnail.width, 64);
  EXPECT_EQ(thumbnail.height, 48);
  for (const std::string name : {"beyond.heic", "broken.heic"}) {
    EXPECT_FALSE(std::ifstream(dir.PathOf("page_files/" + name + ".jpg")).good()) << name;
    EXPECT_NE(page.find("<a href=\"page_files/" + name + "\" target=\"_blank\">" + name + "</a>"),
              std::string::npos) << name;
  }
  EXPECT_EQ(Count(page, "<img "), 3u);
}

// Runs headless Chromium on the page with its own empty profile; its standard error in `log`.
bool RunChromium(const std::string& profile, const std::string& arguments, std::string& log) {
  const std::string command =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--user-data-dir='" + profile + "' --enable-logging=stderr --v=0 " + arguments + " 2>'" +
      profile + ".log'";
  const int status = std::system(command.c_str());
  log = ReadFile(profile + ".log");
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(HtmlPage, LoadsInABrowserWithoutErrorsAndTheSearchBoxFilters) {
  if (std::system("command -v chromium >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "chromium is not installed";
  }
  // The page and its screenshot stay in the build folder for people to look at.
  const std::string artefacts = "artefacts";
  mkdir(artefacts.c_str(), 0700);
  char absolute[4096];
  ASSERT_NE(realpath(artefacts.c_str(), absolute), nullptr);
  const std::string folder = absolute;
  const std::string page = folder + "/html_page.html";
  std::remove(page.c_str());
  WritePage(Utf8ToWide(page));
  testing::TempDir profiles;

  std::string log;
  const std::string dom = folder + "/html_page_search.dom";
  ASSERT_TRUE(RunChromium(profiles.path() + "/search",
                          "--dump-dom 'file://" + page + "#q=ANN%20pizza' >'" + dom + "'", log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  const std::string filtered = ReadFile(dom);
  // Message items as the browser left them: shown, or with the hidden attribute.
  int shown = 0, hidden = 0;
  for (size_t at = filtered.find("<li class=\"m "); at != std::string::npos;
       at = filtered.find("<li class=\"m ", at + 1)) {
    const std::string tag = filtered.substr(at, filtered.find('>', at) - at);
    ++(tag.find("hidden") != std::string::npos ? hidden : shown);
  }
  EXPECT_EQ(shown, 1) << filtered;
  EXPECT_EQ(hidden, 7);
  EXPECT_NE(filtered.find("1 of 8 messages"), std::string::npos);
  // The message found keeps the heading of its day; the days without one found go.
  EXPECT_EQ(Count(filtered, "<li class=\"day\">"), 1u) << filtered;
  EXPECT_NE(filtered.find("<li class=\"day\">Monday, 1 January 2024</li>"), std::string::npos);
  // The list to jump to a conversation keeps only those with a message found.
  EXPECT_EQ(Count(filtered, "<li hidden=\"\"><a href=\"#c"), 4u) << filtered;
  EXPECT_EQ(Count(filtered, "<li><a href=\"#c"), 1u);

  // A search given with a broken escape is searched for as it stands, without a script error.
  ASSERT_TRUE(RunChromium(profiles.path() + "/broken",
                          "--dump-dom 'file://" + page + "#q=%E0%A4%A' >'" + dom + "'", log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  EXPECT_NE(ReadFile(dom).find("0 of 8 messages"), std::string::npos);

  const std::string screenshot = folder + "/html_page.png";
  std::remove(screenshot.c_str());
  ASSERT_TRUE(RunChromium(profiles.path() + "/shot",
                          "--hide-scrollbars --window-size=900,1250 --screenshot='" + screenshot +
                              "' 'file://" + page + "'",
                          log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  struct stat info {};
  ASSERT_EQ(stat(screenshot.c_str(), &info), 0);
  EXPECT_GT(info.st_size, 10000);
}

// The page with a script that reports, once every picture is done, each picture's decoded width
// as a <pre id="probe"> of the DOM Chromium dumps.
std::string WithProbe(std::string page, const std::string& extra) {
  const std::string probe = extra + R"(<script>
window.addEventListener('load', function report(event, polls) {
  var pictures = Array.prototype.slice.call(document.images);
  // Waits for every picture, but at most 100 times 50 ms of the browser's virtual time, so the
  // report is always written: a picture still not decoded then shows a width of 0.
  polls = polls || 0;
  if (polls < 100 && !pictures.every(function (p) { return p.complete; })) {
    return setTimeout(function () { report(event, polls + 1); }, 50);
  }
  var out = document.createElement('pre');
  out.id = 'probe';
  out.textContent = pictures.map(function (p) {
    return 'PICTURE ' + p.getAttribute('src') + ' ' + p.naturalWidth;
  }).join('\n') + '\n';
  document.body.appendChild(out);
});
</script>
</body>)";
  page.replace(page.rfind("</body>"), 7, probe);
  return page;
}

// The lines of the probe's report that begin with `start`, without it.
std::vector<std::string> LinesStarting(const std::string& dom, const std::string& start) {
  std::vector<std::string> lines;
  const size_t report = dom.find("<pre id=\"probe\">");
  if (report == std::string::npos) return lines;
  const std::string text = dom.substr(report);
  for (size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
    lines.push_back(text.substr(at + start.size(), text.find('\n', at) - at - start.size()));
  }
  return lines;
}

TEST(HtmlPage, PicturesDecodeInABrowserAndNothingComesFromOutsideTheMediaFolder) {
  if (std::system("command -v chromium >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "chromium is not installed";
  }
  // The page, its media and its screenshot stay in the build folder for people to look at. The
  // names need escaping in the page's links and in its policy, as people's names for files do.
  mkdir("artefacts", 0700);
  char absolute[4096];
  ASSERT_NE(realpath("artefacts", absolute), nullptr);
  const std::string folder = std::string(absolute) + "/multimedia #1 \u00e4";
  std::system(("rm -rf '" + folder + "'").c_str());
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string name = "Ann & Bob (2024) \u00e4;1.html";
  const std::string media = "Ann%20%26%20Bob%20%282024%29%20%C3%A4%3B1_files/";
  const std::string page = WritePageWithMedia(folder, WithPictures(true), name);
  const std::string url = "file://" + folder.substr(0, folder.rfind('/')) +
                          "/multimedia%20%231%20%C3%A4/";
  std::ofstream(folder + "/probe.html") << WithProbe(page, "");
  // A picture the page never names, beside it but outside its folder, as an injected one would.
  std::ofstream(folder + "/outside.png") << testing::TinyPng();
  std::ofstream(folder + "/intruder.html")
      << WithProbe(page, "<img id=\"outside\" src=\"outside.png\">");
  testing::TempDir profiles;

  std::string log;
  const std::string dom = folder + "/probe.dom";
  // Headless Chromium loads lazy pictures at once unless told to behave as a desktop one does.
  const std::string tall =
      "--window-size=1000,8000 --virtual-time-budget=10000 --blink-settings=lazyLoadEnabled=true "
      "--dump-dom ";
  ASSERT_TRUE(RunChromium(profiles.path() + "/probe",
                          tall + "'" + url + "probe.html' >'" + dom + "'", log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  const std::string probed = ReadFile(dom);
  const std::vector<std::string> pictures = LinesStarting(probed, "PICTURE ");
  EXPECT_EQ(pictures.size(), 5u) << probed;
  for (const std::string& picture : pictures) {
    EXPECT_EQ(picture.rfind(media, 0), 0u) << picture;
    EXPECT_NE(picture.substr(picture.rfind(' ')), " 0") << picture << " was not decoded";
  }
  // Every file the page names lies in its folder (the browser lists no loads of local files,
  // so the names are checked, and the policy below).
  for (const std::string attribute : {"src=\"", "href=\""}) {
    for (size_t at = page.find(attribute); at != std::string::npos; at = page.find(attribute, at + 1)) {
      const size_t start = at + attribute.size();
      const std::string named = page.substr(start, page.find('"', start) - start);
      EXPECT_TRUE(named.rfind(media, 0) == 0 || named[0] == '#') << named;
      EXPECT_EQ(named.find(".."), std::string::npos) << named;
    }
  }

  ASSERT_TRUE(RunChromium(profiles.path() + "/intruder",
                          tall + "'" + url + "intruder.html' >'" + dom + "'", log))
      << log;
  const std::string refused = ReadFile(dom);
  EXPECT_NE(refused.find("PICTURE outside.png 0"), std::string::npos) << refused;
  EXPECT_NE(log.find("Content Security Policy"), std::string::npos) << log;

  const std::string screenshot = std::string(absolute) + "/html_page_multimedia.png";
  std::remove(screenshot.c_str());
  ASSERT_TRUE(RunChromium(profiles.path() + "/shot",
                          "--hide-scrollbars --window-size=900,1260 --virtual-time-budget=5000 "
                          "--screenshot='" + screenshot + "' '" + url + UrlEscaped(name) + "'",
                          log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  struct stat info {};
  ASSERT_EQ(stat(screenshot.c_str(), &info), 0);
  EXPECT_GT(info.st_size, 10000);
}

}  // namespace
}  // namespace larkpost
