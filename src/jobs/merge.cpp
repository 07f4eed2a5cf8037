#include "jobs/merge.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <exception>
#include <future>
#include <thread>
#include <cerrno>
#include <limits>
#include <memory>

#include "formats/part_spool.h"
#include "identity/phone_number.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "jobs/message_spool.h"
#include "jobs/output_file.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kNamesBit = 1u << 2;  // of Richness()

// One message read, in 64 bytes. After the choice the same slots hold the messages to write.
struct Copy {
  IdentityHash id;
  uint64_t time = 0;         // the full delivery time
  uint64_t position = 0;     // in the spool
  uint64_t content = 0;      // a hash of everything the copy holds: equal copies' fixed order
  uint64_t textFrom = kNone;   // spool position of the copy whose text to write, if not this one
  uint64_t namesFrom = kNone;  // the same for the names
  uint32_t rank = 0;           // what the copy holds beside its text (larger: more)
  uint16_t textScore = 0;      // larger: fewer "?"
  uint16_t input = 0;
};
static_assert(sizeof(Copy) == 64);

// Takes the names `donor` has where `message` has none, party by party (by normalised number).
void FillNames(MessageRecord& message, const MessageRecord& donor) {
  if (message.senderName.empty() &&
      NormalisedNumber(message.senderAddress) == NormalisedNumber(donor.senderAddress)) {
    message.senderName = donor.senderName;
  }
  for (RecordRecipient& recipient : message.recipients) {
    if (!recipient.displayName.empty()) continue;
    const std::u16string number = NormalisedNumber(recipient.address);
    for (const RecordRecipient& other : donor.recipients) {
      if (!other.displayName.empty() && NormalisedNumber(other.address) == number) {
        recipient.displayName = other.displayName;
        break;
      }
    }
  }
}

// Spool positions carry their input in the top bits.
constexpr int kInputShift = 48;
constexpr uint64_t kOffsetMask = (uint64_t{1} << kInputShift) - 1;

// The copies of all inputs in blocks, not one array: an array grown by doubling would need
// twice its size for a moment, and the inputs' arrays joined once more.
using Copies = std::deque<Copy>;

// What the readers of the inputs add to, a batch at a time.
struct SharedCopies {
  std::mutex mutex;
  Copies copies;
  void Add(std::vector<Copy>& batch) {
    std::lock_guard<std::mutex> lock(mutex);
    copies.insert(copies.end(), batch.begin(), batch.end());
    batch.clear();
  }
};

struct InputPass {
  std::unique_ptr<MessageSpool> spool;
  std::string error;              // the reader's, naming the entry
  std::exception_ptr failure;     // a file error, rethrown on the caller's thread
};

// Reads one input whole into its spool and its copies.
// The input's attachments are decoded beside `out`, where the merge writes.
void ReadInput(const std::u16string& path, const std::u16string& out, uint16_t input,
               const IdentityFields& fields,
               const Selection& selection, InputPass& pass, SharedCopies& shared,
               MergeInputCounts& counts) {
  constexpr size_t kBatch = 4096;
  std::vector<Copy> batch;
  batch.reserve(kBatch);
  std::unique_ptr<MessageReader> reader =
      OpenMessageReader(path, FileKindForPath(path), std::make_shared<PartSpool>(out));
  const bool keepsFolders = IdentityFieldsOf(FileKindForPath(path)).standardFolders;
  MessageRecord record;
  // Asked to stop, the pass ends early; the merge then writes nothing.
  while (StopRequested() == 0 && reader->Next(record)) {
    if (!selection.Selects(record)) continue;
    ++counts.selected;
    Copy copy;
    copy.id = HashIdentityKey(IdentityKey(record, fields));
    copy.time = FileTimeToUInt64(record.deliveryTime);
    copy.position = uint64_t{input} << kInputShift | pass.spool->Append(record, copy.content);
    const uint32_t richness = Richness(record);
    copy.rank = uint32_t{keepsFolders} << 8 | (richness & 0xFF);
    copy.textScore = static_cast<uint16_t>(richness >> 16);
    copy.input = input;
    batch.push_back(copy);
    if (batch.size() == kBatch) shared.Add(batch);
  }
  shared.Add(batch);
  counts.read = reader->counts();
  pass.error = reader->error();
}

bool Fail(MergeResult& result, const std::string& text) {
  result.error = Utf8ToWide(text);
  return false;
}

// Of each group of equal copies (sorted by identity), keeps as many as the input holding most of
// them has, the richest first, and counts per input what it added. Returns how many are kept;
// they are moved to the front of `copies`.
size_t ChooseCopies(Copies& copies, MergeResult& result) {
  std::vector<uint32_t> perInput(result.inputs.size(), 0);
  std::vector<uint16_t> touched;
  std::vector<Copy> group;
  size_t kept = 0;
  for (size_t start = 0; start < copies.size();) {
    size_t end = start + 1;
    while (end < copies.size() && copies[end].id == copies[start].id) ++end;
    group.assign(copies.begin() + static_cast<ptrdiff_t>(start),
                 copies.begin() + static_cast<ptrdiff_t>(end));
    touched.clear();
    for (const Copy& copy : group) {
      if (perInput[copy.input]++ == 0) touched.push_back(copy.input);
    }
    std::sort(touched.begin(), touched.end());
    uint32_t most = 0;  // what the inputs so far hold of this message
    for (uint16_t input : touched) {
      const uint32_t count = perInput[input];
      const uint32_t added = count > most ? count - most : 0;
      result.inputs[input].contributed += added;
      result.inputs[input].alreadyThere += count - added;
      most = std::max(most, count);
      perInput[input] = 0;
    }
    std::sort(group.begin(), group.end(), [](const Copy& a, const Copy& b) {
      if (a.rank != b.rank) return a.rank > b.rank;
      if (a.textScore != b.textScore) return a.textScore > b.textScore;
      if (a.content != b.content) return a.content < b.content;
      return a.input < b.input;
    });
    const Copy* bestText = &group.front();
    const Copy* named = nullptr;
    for (const Copy& copy : group) {
      if (copy.textScore > bestText->textScore) bestText = &copy;
      if (named == nullptr && (copy.rank & kNamesBit) != 0) named = &copy;
    }
    for (uint32_t i = 0; i < most; ++i) {
      Copy chosen = group[i];
      if (bestText->textScore > chosen.textScore) chosen.textFrom = bestText->position;
      if ((chosen.rank & kNamesBit) == 0 && named != nullptr) chosen.namesFrom = named->position;
      copies[kept++] = chosen;  // kept <= start: the group was copied out first
    }
    start = end;
  }
  return kept;
}

}  // namespace

IdentityFields IdentityFieldsOf(FileKind kind) {
  if (kind == FileKind::kBackup) {
    IdentityFields fields = kAllFields;
    fields.codePageText = true;
    return fields;
  }
  return kPhoneFields;
}

bool MergeMessageFiles(const std::vector<std::u16string>& ins, const std::u16string& out,
                       DeletedAs deletedAs, const Selection& selection, MergeResult& result) {
  result = MergeResult{};
  const FileKind outKind = FileKindForPath(out);
  if (!FormatOf(outKind).writable || outKind == FileKind::kTextExport) {
    return Fail(result, std::string("a ") + FileKindName(outKind) +
                            " is written by a backup of a store only");
  }
  if (ins.size() > std::numeric_limits<uint16_t>::max()) return Fail(result, "too many inputs");
  IdentityFields fields = kAllFields;
  for (const std::u16string& in : ins) {
    const FileKind kind = FileKindForPath(in);
    if (!IsReadable(kind)) {
      return Fail(result, WideToUtf8(in) + ": a " + FileKindName(kind) + " cannot be read");
    }
    fields = CommonFields(fields, IdentityFieldsOf(kind));
  }

  // First pass: every message into its input's spool, and 64 bytes of it into memory. The
  // inputs are read side by side, one thread each up to the machine's processors: reading and
  // checking them is most of a merge's work.
  std::vector<InputPass> passes(ins.size());
  SharedCopies shared;
  for (size_t i = 0; i < ins.size(); ++i) {
    result.inputs.emplace_back().path = ins[i];
    passes[i].spool = std::make_unique<MessageSpool>(out);
  }
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < ins.size(); i = next++) {
      try {
        ReadInput(ins[i], out, static_cast<uint16_t>(i), fields, selection, passes[i], shared,
                  result.inputs[i]);
      } catch (...) {
        passes[i].failure = std::current_exception();
      }
    }
  };
  const size_t workers =
      std::min<size_t>(ins.size(), std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  for (size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  // The first input at fault is reported, as a run through them in order would.
  for (size_t i = 0; i < ins.size(); ++i) {
    if (passes[i].failure) std::rethrow_exception(passes[i].failure);
    if (!passes[i].error.empty()) return Fail(result, WideToUtf8(ins[i]) + ": " + passes[i].error);
  }
  // A pass cut short by a stop request read only part of its input: nothing may be written.
  if (StopRequested() != 0) return Fail(result, "interrupted");
  Copies& copies = shared.copies;

  std::sort(copies.begin(), copies.end(),
            [](const Copy& a, const Copy& b) { return a.id < b.id; });
  copies.resize(ChooseCopies(copies, result));
  copies.shrink_to_fit();
  std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) {
    if (a.time != b.time) return a.time < b.time;
    if (a.id != b.id) return a.id < b.id;
    return a.content < b.content;
  });

  // Second pass: the chosen copies from the spools, in time order, into OUT. The spools are read
  // a batch ahead on a thread of their own while the batch before is written.
  auto read = [&](uint64_t position, MessageRecord& into) {
    passes[position >> kInputShift].spool->Read(position & kOffsetMask, into);
  };
  constexpr size_t kBatch = 1024;
  std::vector<MessageRecord> batches[2];
  auto fill = [&](size_t first, std::vector<MessageRecord>* batch) {
    batch->resize(std::min(kBatch, copies.size() - first));
    MessageRecord donor;
    for (size_t i = 0; i < batch->size(); ++i) {
      const Copy& copy = copies[first + i];
      MessageRecord& record = (*batch)[i];
      read(copy.position, record);
      if (copy.textFrom != kNone) {
        read(copy.textFrom, donor);
        record.text = std::move(donor.text);
      }
      if (copy.namesFrom != kNone) {
        read(copy.namesFrom, donor);
        FillNames(record, donor);
      }
    }
  };
  WrittenCounts written;
  std::string error;
  const bool merged = WriteMessageOutput(
      out, outKind, deletedAs,
      [&](MessageWriter& writer, std::string& failure) {
        // Declared after the batches: leaving early waits for the batch being read.
        std::future<void> ahead = std::async(std::launch::async, fill, 0, &batches[0]);
        for (size_t first = 0; first < copies.size(); first += kBatch) {
          ahead.get();  // a read error is thrown here
          std::vector<MessageRecord>& batch = batches[first / kBatch % 2];
          if (first + kBatch < copies.size()) {
            ahead = std::async(std::launch::async, fill, first + kBatch,
                               &batches[(first / kBatch + 1) % 2]);
          }
          for (const MessageRecord& record : batch) {
            if (StopRequested() != 0) {
              failure = "interrupted";
              return false;
            }
            if (!writer.Write(record, failure)) {
              failure = "message " + std::to_string(result.written + 1) + ": " + failure;
              return false;
            }
            ++result.written;
          }
        }
        return true;
      },
      written, error);
  if (!merged) return Fail(result, error);
  for (const MergeInputCounts& input : result.inputs) result.leftOut += LeftOutByReader(input.read);
  result.leftOut.multimedia += written.multimediaLeftOut;
  result.written -= written.multimediaLeftOut;
  result.entriesWritten = written.entriesWritten;
  result.replacedMessages = written.replacedMessages;
  return true;
}

}  // namespace larkpost
