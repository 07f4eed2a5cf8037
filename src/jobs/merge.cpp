#include "jobs/merge.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "formats/part_spool.h"
#include "identity/phone_number.h"
#include "jobs/copied_records.h"
#include "jobs/message_files.h"
#include "jobs/message_spool.h"
#include "jobs/outcome.h"
#include "platform/file/output_file.h"
#include "jobs/side_by_side.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kNoDonors = std::numeric_limits<uint32_t>::max();
constexpr uint16_t kNamesBit = 1u << 2;  // of Richness()

// Positions carry their input in the top bits, and below them whether they are the start of a
// record in the input itself (CopiedRecords) rather than a place in its spool.
constexpr int kInputShift = 48;
constexpr uint64_t kInFile = uint64_t{1} << 47;
constexpr uint64_t kOffsetMask = kInFile - 1;

// One message read, in 48 bytes.
struct Copy {
  IdentityHash id;
  uint64_t time = 0;         // the full delivery time
  uint64_t position = 0;     // in its input's spool or file, with the input (kInputShift)
  uint64_t content = 0;      // a hash of everything the copy holds: equal copies' fixed order
  uint16_t rank = 0;         // what the copy holds beside its text (larger: more)
  uint16_t textScore = 0;    // larger: fewer "?"
  uint32_t donors = kNoDonors;  // where the text or names to write come from, if not from here
};
static_assert(sizeof(Copy) == 48);

uint16_t InputOf(const Copy& copy) { return static_cast<uint16_t>(copy.position >> kInputShift); }

// The positions of the copies whose text and names a kept copy takes (kNone: its own).
// Few copies need one: a copy lacking names, or with "?" where another has the character.
struct Donors {
  uint64_t textFrom = kNone;
  uint64_t namesFrom = kNone;
};

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

// The copies of one input in chunks, each sorted by identity as soon as it is full, on the
// reader's thread: the readers share the sorting, and no array is ever grown by copying (which
// would need twice its size for a moment).
//
// After a small first chunk, chunks fill 2 MiB, asked for in huge pages where the system grants
// them: the copies are the merge's one large memory, and touching it a 4 KiB page at a time cost
// a tenth of the first pass. An input's last chunk gives back what it does not hold once the
// input is read, so a small input takes little.
struct FreeCopies {
  void operator()(Copy* copies) const { std::free(copies); }
};
struct Chunk {
  std::unique_ptr<Copy, FreeCopies> copies;
  size_t size = 0;
  size_t capacity = 0;
  Copy* begin() const { return copies.get(); }
  Copy* end() const { return copies.get() + size; }
};
constexpr size_t kFirstChunk = 1024;
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kChunk = kHugePage / sizeof(Copy);

Copy* AllocateCopies(size_t count) {
  const bool huge = count == kChunk;
  void* memory =
      huge ? std::aligned_alloc(kHugePage, kHugePage) : std::malloc(count * sizeof(Copy));
  if (memory == nullptr) throw std::bad_alloc();
  if (huge) madvise(memory, kHugePage, MADV_HUGEPAGE);  // a hint: refused is fine
  return static_cast<Copy*>(memory);
}

// The orders of copies, as types so that sorts and heaps inline them.
struct ById {
  bool operator()(const Copy& a, const Copy& b) const { return a.id < b.id; }
};
// The order of OUT; equal messages in a fixed order, whatever the order of the inputs.
struct ByTime {
  bool operator()(const Copy& a, const Copy& b) const {
    if (a.time != b.time) return a.time < b.time;
    if (a.id != b.id) return a.id < b.id;
    return a.content < b.content;
  }
};

// Gives back what a chunk no longer holds, for the second pass to use.
void Shrink(Chunk& chunk) {
  if (chunk.size == chunk.capacity) return;
  if (chunk.size == 0) {
    chunk.copies.reset();
  } else if (void* smaller = std::realloc(chunk.copies.get(), chunk.size * sizeof(Copy))) {
    (void)chunk.copies.release();
    chunk.copies.reset(static_cast<Copy*>(smaller));
  } else {
    return;  // the larger block stays
  }
  chunk.capacity = chunk.size;
}

// Sorts the last chunk of an input when no copy is added to it any more.
void SortLast(std::vector<Chunk>& chunks) {
  if (!chunks.empty()) std::sort(chunks.back().begin(), chunks.back().end(), ById{});
}

void AddCopy(std::vector<Chunk>& chunks, const Copy& copy) {
  if (chunks.empty() || chunks.back().size == chunks.back().capacity) {
    const size_t capacity = chunks.empty() ? kFirstChunk : kChunk;
    SortLast(chunks);
    Chunk& chunk = chunks.emplace_back();
    chunk.capacity = capacity;
    chunk.copies.reset(AllocateCopies(capacity));
  }
  chunks.back().copies.get()[chunks.back().size++] = copy;
}

// Copies side by side in memory, sorted.
struct Run {
  Copy* at;
  Copy* end;
};

std::vector<Run> RunsOf(const std::vector<Chunk*>& chunks) {
  std::vector<Run> runs;
  for (Chunk* chunk : chunks) runs.push_back(Run{chunk->begin(), chunk->end()});
  return runs;
}

// Runs sorted by `Less` walked as one sorted sequence.
template <typename Less>
class MergedRuns {
 public:
  explicit MergedRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
      if (run.at != run.end) runs_.push_back(run);
    }
    std::make_heap(runs_.begin(), runs_.end(), Later{});
  }
  // The next copy in order; null after the last.
  Copy* Next() {
    if (runs_.empty()) return nullptr;
    std::pop_heap(runs_.begin(), runs_.end(), Later{});
    Run& run = runs_.back();
    Copy* next = run.at++;
    if (run.at == run.end) {
      runs_.pop_back();
    } else {
      std::push_heap(runs_.begin(), runs_.end(), Later{});
    }
    return next;
  }

 private:
  struct Later {  // a heap's order: the run whose next copy comes first on top
    bool operator()(const Run& a, const Run& b) const { return Less{}(*b.at, *a.at); }
  };
  std::vector<Run> runs_;
};

// A hash of everything an SMS holds, for a copy that is not parked (the spool hashes the bytes
// it parks).
uint64_t ContentHash(const MessageRecord& message) {
  auto bytes = [](const auto& value) {
    return std::string_view(reinterpret_cast<const char*>(&value), sizeof value);
  };
  auto text = [](std::u16string_view units) {
    return std::string_view(reinterpret_cast<const char*>(units.data()), units.size() * 2);
  };
  uint64_t hash = HashBytes(text(message.text));
  for (const std::u16string* field : {&message.messageClass, &message.folderPath,
                                      &message.senderName, &message.senderAddress}) {
    hash = HashBytes(text(*field), hash);
  }
  for (const RecordRecipient& recipient : message.recipients) {
    hash = HashBytes(text(recipient.displayName), hash);
    hash = HashBytes(text(recipient.address), hash);
    hash = HashBytes(bytes(recipient.type), hash);
  }
  const uint64_t fixed[4] = {FileTimeToUInt64(message.lastModified),
                             FileTimeToUInt64(message.deliveryTime), message.flags, message.size};
  return HashBytes(bytes(fixed), hash);
}

struct InputPass {
  std::unique_ptr<CopiedRecords> copied;  // for a backup file merged into one
  std::unique_ptr<MessageSpool> spool;    // for the messages not copied
  std::vector<Chunk> chunks;
  std::string error;              // the reader's, naming the entry
  std::exception_ptr failure;     // a file error, rethrown on the caller's thread
  // With no region: each copy's identity with the numbers region-free (NumberForm::kRegionFree).
  std::vector<IdentityHash> regionFree;
};

// Reads one input whole into its copies, and what is not copied as it is into its spool. The
// input's attachments are decoded beside `out`, where the merge writes.
void ReadInput(const std::u16string& path, const std::u16string& out, uint16_t input,
               const IdentityFields& fields, const Selection& selection, FileKind outKind,
               InputPass& pass, MergeInputCounts& counts) {
  const FileKind kind = InputKindOf(path);
  // A record of a file of the output's own format may be copied as it lies.
  const bool sameFormat = kind == outKind;
  std::unique_ptr<MessageReader> reader =
      OpenMessageReader(path, kind, std::make_shared<PartSpool>(out));
  const bool keepsFolders = FormatOf(kind).comparedOn.standardFolders;
  const bool countRegionFree = NumberRegion().empty();
  MessageRecord record;
  // The owner as the input's messages so far show it, for the direction of a deleted one: a
  // backup file holds Deleted Items last, as the writers of phone files meet them.
  OwnNumbers own;
  // Asked to stop, the pass ends early; the merge then writes nothing.
  while (StopRequested() == 0 && reader->Next(record)) {
    own.Learn(record);
    if (!selection.Selects(record)) continue;
    ++counts.selected;
    Copy copy;
    if (!countRegionFree) {
      copy.id = HashIdentityKey(IdentityKey(record, fields, NumberForm::kNormalised, &own));
    } else if (!record.multimedia) {
      // An SMS's key is the key without parties followed by the parties': made once, for both.
      const std::string common = IdentityKey(record, fields, NumberForm::kLeftOut, &own);
      copy.id = HashIdentityKey(common + PartiesKey(record, fields, NumberForm::kNormalised, &own));
      pass.regionFree.push_back(
          HashIdentityKey(common + PartiesKey(record, fields, NumberForm::kRegionFree, &own)));
    } else {
      copy.id = HashIdentityKey(IdentityKey(record, fields, NumberForm::kNormalised, &own));
      pass.regionFree.push_back(
          HashIdentityKey(IdentityKey(record, fields, NumberForm::kRegionFree, &own)));
    }
    copy.time = FileTimeToUInt64(record.deliveryTime);
    uint64_t start = 0;
    if (sameFormat && reader->RecordStart(start) && start <= kOffsetMask) {
      if (pass.copied == nullptr) pass.copied = std::make_unique<CopiedRecords>(path);
      copy.content = ContentHash(record);
      copy.position = uint64_t{input} << kInputShift | kInFile | start;
    } else {
      if (pass.spool == nullptr) pass.spool = std::make_unique<MessageSpool>(out);
      const uint64_t offset = pass.spool->Append(record, copy.content);
      if (offset > kOffsetMask) {
        throw CFileException(CFileException::CauseFromErrno(EFBIG), EFBIG, out);
      }
      copy.position = uint64_t{input} << kInputShift | offset;
    }
    const uint32_t richness = Richness(record);
    copy.rank = static_cast<uint16_t>(uint32_t{keepsFolders} << 8 | (richness & 0xFF));
    copy.textScore = static_cast<uint16_t>(richness >> 16);
    AddCopy(pass.chunks, copy);
  }
  SortLast(pass.chunks);
  if (!pass.chunks.empty()) Shrink(pass.chunks.back());
  counts.read = reader->counts();
  pass.error = reader->error();
}

// How many messages a merge writes of copies with the identities of pass.regionFree: of each
// group of equal copies, as many as the input holding most of them has. Empties them.
uint64_t WrittenOf(std::vector<InputPass>& passes) {
  // 16 bytes a copy: the input takes the low bits of the hash, which still tell the copies apart
  // well enough for a count.
  constexpr uint64_t kInputBits = 0xFFFF;
  std::vector<IdentityHash> copies;
  for (size_t input = 0; input < passes.size(); ++input) {
    for (IdentityHash id : passes[input].regionFree) {
      id.low = (id.low & ~kInputBits) | input;
      copies.push_back(id);
    }
    std::vector<IdentityHash>().swap(passes[input].regionFree);
  }
  std::sort(copies.begin(), copies.end());
  auto sameMessage = [](const IdentityHash& a, const IdentityHash& b) {
    return a.high == b.high && (a.low & ~kInputBits) == (b.low & ~kInputBits);
  };
  uint64_t written = 0;
  for (size_t at = 0; at < copies.size();) {
    uint64_t most = 0;
    size_t end = at;
    while (end < copies.size() && sameMessage(copies[end], copies[at])) {
      size_t same = end;
      while (same < copies.size() && copies[same] == copies[end]) ++same;
      most = std::max<uint64_t>(most, same - end);
      end = same;
    }
    written += most;
    at = end;
  }
  return written;
}

// A merge holds each input and its spool open until the end: as many files as the soft limit
// of open files allows is seldom a thousand, while the hard limit, which a process may raise its
// soft one to, is usually far more. Returns the limit then in force.
uint64_t RaiseOpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

bool Fail(MergeResult& result, const std::string& text) {
  result.error = Utf8ToWide(text);
  return false;
}

// A copy not chosen: it leaves its chunk before the second pass.
bool Dropped(const Copy& copy) { return copy.position == kNone; }

// The Donors of the kept copies that need them, filled by the parts of the choice side by side.
class DonorTable {
 public:
  uint32_t Add(const Donors& from) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (donors_.size() == kNoDonors) throw std::bad_alloc();
    donors_.push_back(from);
    return static_cast<uint32_t>(donors_.size() - 1);
  }
  // Once the choice is over.
  const Donors& operator[](uint32_t index) const { return donors_[index]; }

 private:
  std::mutex mutex_;
  std::vector<Donors> donors_;
};

// What one part of the choice found per input.
struct ChoiceCounts {
  explicit ChoiceCounts(size_t inputs) : contributed(inputs, 0), alreadyThere(inputs, 0) {}
  std::vector<uint64_t> contributed;
  std::vector<uint64_t> alreadyThere;
};

// Of each group of equal copies, keeps those of one input: the one holding most of them, of such
// inputs the one with the richest copy. An input's equal copies are different messages, so the
// richest copies of all inputs together could be one message twice and lose another. The other
// inputs' copies are dropped: each first pairs with a kept copy that holds exactly what it
// holds, and those left give the kept copies their text or names where theirs are poorer (the
// kept copy gets Donors). Counts per input what it added.
void ChooseCopies(MergedRuns<ById>& byId, ChoiceCounts& counts, DonorTable& donors) {
  std::vector<uint32_t> perInput(counts.contributed.size(), 0);
  std::vector<uint16_t> touched;
  std::vector<Copy*> group;
  std::vector<Copy*> kept;
  std::vector<Copy*> others;
  Copy* next = byId.Next();
  while (next != nullptr) {
    group.assign(1, next);
    while ((next = byId.Next()) != nullptr && next->id == group.front()->id) group.push_back(next);
    touched.clear();
    for (const Copy* copy : group) {
      if (perInput[InputOf(*copy)]++ == 0) touched.push_back(InputOf(*copy));
    }
    std::sort(touched.begin(), touched.end());
    uint32_t most = 0;  // what the inputs so far hold of this message
    for (uint16_t input : touched) {
      const uint32_t count = perInput[input];
      const uint32_t added = count > most ? count - most : 0;
      counts.contributed[input] += added;
      counts.alreadyThere[input] += count - added;
      most = std::max(most, count);
    }
    if (group.size() == 1) {
      perInput[touched.front()] = 0;
      continue;
    }
    std::sort(group.begin(), group.end(), [](const Copy* a, const Copy* b) {
      if (a->rank != b->rank) return a->rank > b->rank;
      if (a->textScore != b->textScore) return a->textScore > b->textScore;
      if (a->content != b->content) return a->content < b->content;
      return InputOf(*a) < InputOf(*b);
    });
    // The richest copy of an input holding `most` names the input kept.
    uint16_t base = InputOf(*group.front());
    for (const Copy* copy : group) {
      if (perInput[InputOf(*copy)] == most) {
        base = InputOf(*copy);
        break;
      }
    }
    for (uint16_t input : touched) perInput[input] = 0;
    kept.clear();
    others.clear();
    for (Copy* copy : group) (InputOf(*copy) == base ? kept : others).push_back(copy);
    for (Copy* copy : kept) {
      for (Copy*& other : others) {
        if (other != nullptr && other->content == copy->content) {
          other->position = kNone;
          other = nullptr;
          break;
        }
      }
    }
    uint64_t textFrom = kNone;
    uint16_t bestTextScore = 0;
    uint64_t namesFrom = kNone;
    for (Copy* other : others) {
      if (other == nullptr) continue;
      if (textFrom == kNone || other->textScore > bestTextScore) {
        textFrom = other->position;
        bestTextScore = other->textScore;
      }
      if (namesFrom == kNone && (other->rank & kNamesBit) != 0) namesFrom = other->position;
      other->position = kNone;
    }
    if (textFrom == kNone) continue;
    for (Copy* copy : kept) {
      Donors from;
      if (bestTextScore > copy->textScore) from.textFrom = textFrom;
      if ((copy->rank & kNamesBit) == 0) from.namesFrom = namesFrom;
      if (from.textFrom == kNone && from.namesFrom == kNone) continue;
      copy->donors = donors.Add(from);
    }
  }
}

// The refusals before anything is read: what OUT may not be, inputs that cannot be read. Sets
// `fields` to what every input keeps for the identity rule.
bool CheckMerge(const std::vector<std::u16string>& ins, const std::u16string& out,
                MergeResult& result, IdentityFields& fields) {
  const FileKind outKind = FileKindForPath(out);
  if (!FormatOf(outKind).writable) {
    return Fail(result, FileKindName(outKind) + std::string(" are only read, never written"));
  }
  if (HoldsReadOnlyInput(out)) {
    return Fail(result, WideToUtf8(out) + " holds " + FileKindName(InputKindOf(out)) +
                            ", which are only read, never replaced");
  }
  if (ins.size() > std::numeric_limits<uint16_t>::max()) return Fail(result, "too many inputs");
  fields = kAllFields;
  for (const std::u16string& in : ins) {
    const FileKind kind = InputKindOf(in);
    if (!IsReadable(kind)) {
      return Fail(result, WideToUtf8(in) + ": a " + FileKindName(kind) + " cannot be read");
    }
    fields = CommonFields(fields, FormatOf(kind).comparedOn);
  }
  return true;
}

// First pass: every message into its input's spool (unless copied from its file as it is), and
// 48 bytes of it into memory. The inputs are read side by side, one thread each up to the
// machine's processors: reading and checking them is most of a merge's work. False (after Fail)
// when an input cannot be read whole; a file error is thrown.
bool ReadInputs(const std::vector<std::u16string>& ins, const std::u16string& out,
                const IdentityFields& fields, const Selection& selection, FileKind outKind,
                std::vector<InputPass>& passes, MergeResult& result) {
  const uint64_t openFiles = RaiseOpenFileLimit();
  for (size_t i = 0; i < ins.size(); ++i) {
    result.inputs.emplace_back().path = ins[i];
  }
  RunSideBySide(ins.size(), [&](size_t i) {
    try {
      ReadInput(ins[i], out, static_cast<uint16_t>(i), fields, selection,
                outKind, passes[i], result.inputs[i]);
    } catch (...) {
      passes[i].failure = std::current_exception();
    }
  });
  // The first input at fault is reported, as a run through them in order would.
  for (size_t i = 0; i < ins.size(); ++i) {
    if (passes[i].failure) {
      // Out of descriptors: no fault of the file whose opening found that out, nor of OUT.
      try {
        std::rethrow_exception(passes[i].failure);
      } catch (const CFileException& failure) {
        if (failure.m_cause != CFileException::tooManyOpenFiles) throw;
      }
      return Fail(result, "too many files are open at once to merge " +
                              std::to_string(ins.size()) + " files (this system allows " +
                              std::to_string(openFiles) +
                              "); merge them in groups, then merge the results");
    }
    if (!passes[i].error.empty()) return Fail(result, WideToUtf8(ins[i]) + ": " + passes[i].error);
  }
  // A pass cut short by a stop request read only part of its input: nothing may be written.
  if (StopRequested() != 0) return Fail(result, "interrupted");
  return true;
}

// The choice, then what is kept sorted into OUT's order: runs of its copies, `kept` of them.
std::vector<Chunk*> ChooseKept(std::vector<InputPass>& passes, MergeResult& result,
                               DonorTable& donors, uint64_t& kept) {
  std::vector<Chunk*> chunks;
  for (InputPass& pass : passes) {
    for (Chunk& chunk : pass.chunks) chunks.push_back(&chunk);
  }
  // The choice, in parts side by side: equal copies have equal hashes, so a part of the hashes'
  // range holds whole groups.
  const size_t parts = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
  std::vector<ChoiceCounts> counts(parts, ChoiceCounts(passes.size()));
  RunSideBySide(parts, [&](size_t part) {
    auto before = [](uint64_t bound) {
      return [bound](const Copy& copy) { return copy.id.high < bound; };
    };
    const uint64_t share = std::numeric_limits<uint64_t>::max() / parts;
    std::vector<Run> runs;
    for (Chunk* chunk : chunks) {
      Copy* begin = chunk->begin();
      Copy* end = chunk->end();
      if (part > 0) begin = std::partition_point(begin, end, before(part * share));
      if (part + 1 < parts) end = std::partition_point(begin, end, before((part + 1) * share));
      runs.push_back(Run{begin, end});
    }
    MergedRuns<ById> byId(runs);
    ChooseCopies(byId, counts[part], donors);
  });
  for (const ChoiceCounts& part : counts) {
    for (size_t i = 0; i < passes.size(); ++i) {
      result.inputs[i].contributed += part.contributed[i];
      result.inputs[i].alreadyThere += part.alreadyThere[i];
    }
  }
  // What is kept, sorted into OUT's order chunk by chunk, side by side.
  std::atomic<uint64_t> keptCount{0};
  RunSideBySide(chunks.size(), [&](size_t i) {
    Chunk& chunk = *chunks[i];
    chunk.size = static_cast<size_t>(std::remove_if(chunk.begin(), chunk.end(), Dropped) -
                                     chunk.begin());
    Shrink(chunk);
    std::sort(chunk.begin(), chunk.end(), ByTime{});
    keptCount += chunk.size;
  });
  kept = keptCount;
  return chunks;
}

// Second pass: the chosen copies from the spools and files, in OUT's order, into OUT. A batch is
// read ahead on a thread of its own while the batch before is written, and that thread also
// makes the last part of its batch ready for the writer (Prepare); a record copied as its
// backup file holds it needs nothing more. How large that part is follows which thread waited
// for the other at the last batch. Batches are small: a run touches their memory for the
// first time, and where page faults are dear that costs as much as the work.
bool WriteChosen(const std::u16string& out, FileKind outKind, DeletedAs deletedAs,
                 std::vector<InputPass>& passes, DonorTable& donors, MergedRuns<ByTime>& byTime,
                 uint64_t total, MergeResult& result, WrittenCounts& written, std::string& error) {
  auto read = [&](uint64_t position, MessageRecord& into) {
    InputPass& pass = passes[position >> kInputShift];
    if ((position & kInFile) != 0) return pass.copied->Message(position & kOffsetMask, into);
    pass.spool->Read(position & kOffsetMask, into);
  };
  constexpr size_t kBatch = 256;
  struct Batch {
    std::vector<MessageRecord> records;
    std::vector<PreparedMessage> prepared;
    std::vector<char> copied;     // prepared as the record its input holds (CopiedRecords)
    size_t preparedFrom = 0;      // records from here on are prepared
    size_t refusedAt = SIZE_MAX;  // the first of them the writer refused, and why
    std::string refusal;
  };
  Batch batches[2];
  // Batches are filled one after the other, each taking the next copies in OUT's order.
  auto fill = [&](const MessageWriter& writer, uint64_t first, size_t share, Batch* batch) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kBatch, total - first));
    batch->records.resize(count);
    batch->prepared.resize(count);
    batch->copied.assign(count, false);
    MessageRecord donor;
    for (size_t i = 0; i < count; ++i) {
      MessageRecord& record = batch->records[i];
      const Copy& copy = *byTime.Next();
      if ((copy.position & kInFile) != 0 && copy.donors == kNoDonors) {
        // Into a backup file as the input holds it: nothing to make of it.
        PreparedMessage& prepared = batch->prepared[i];
        passes[InputOf(copy)].copied->Bytes(copy.position & kOffsetMask, prepared.bytes);
        prepared.record = nullptr;
        prepared.replaced = false;
        prepared.leftOut = false;
        prepared.call = false;
        batch->copied[i] = true;
        continue;
      }
      read(copy.position, record);
      if (copy.donors == kNoDonors) continue;
      const Donors& from = donors[copy.donors];
      if (from.textFrom != kNone) {
        read(from.textFrom, donor);
        record.text = std::move(donor.text);
      }
      if (from.namesFrom != kNone) {
        read(from.namesFrom, donor);
        FillNames(record, donor);
      }
    }
    batch->refusedAt = SIZE_MAX;
    batch->preparedFrom = batch->records.size() - std::min(share, batch->records.size());
    for (size_t i = batch->preparedFrom; i < batch->records.size(); ++i) {
      if (batch->copied[i]) continue;
      if (!writer.Prepare(batch->records[i], batch->prepared[i], batch->refusal)) {
        batch->refusedAt = i;
        break;
      }
    }
  };
  return WriteMessageOutput(
      out, outKind, deletedAs,
      [&](MessageWriter& writer, std::string& failure) {
        auto refused = [&] {
          failure = "message " + std::to_string(result.written + 1) + ": " + failure;
          return false;
        };
        // What the thread reading ahead prepares of its batch: more when it was done first.
        constexpr size_t kShareStep = kBatch / 16;
        size_t share = kBatch / 2;
        // Declared after the batches: leaving early waits for the batch being read.
        AheadThread ahead;
        auto start = [&](uint64_t first) {
          Batch* batch = &batches[first / kBatch % 2];
          ahead.Start([&writer, &fill, first, share, batch] { fill(writer, first, share, batch); });
        };
        start(0);
        for (uint64_t first = 0; first < total; first += kBatch) {
          ahead.Wait();  // a read error is thrown here
          Batch& batch = batches[first / kBatch % 2];
          if (first + kBatch < total) start(first + kBatch);
          for (size_t i = 0; i < batch.records.size(); ++i) {
            if (StopRequested() != 0) {
              failure = "interrupted";
              return false;
            }
            const bool ready = batch.copied[i] || i >= batch.preparedFrom ||
                               writer.Prepare(batch.records[i], batch.prepared[i], failure);
            if (!ready) return refused();
            if (i == batch.refusedAt) {
              failure = batch.refusal;
              return refused();
            }
            if (!writer.WritePrepared(batch.prepared[i], failure)) return refused();
            ++result.written;
          }
          if (first + kBatch < total) {
            share = ahead.Done() ? std::min(kBatch, share + kShareStep)
                                 : share - std::min(share, kShareStep);
          }
        }
        return true;
      },
      written, error);
}

}  // namespace

bool MergeMessageFiles(const std::vector<std::u16string>& ins, const std::u16string& out,
                       DeletedAs deletedAs, const Selection& selection, MergeResult& result) {
  result = MergeResult{};
  IdentityFields fields;
  if (!CheckMerge(ins, out, result, fields)) return false;
  const FileKind outKind = FileKindForPath(out);
  std::vector<InputPass> passes(ins.size());
  if (!ReadInputs(ins, out, fields, selection, outKind, passes, result)) return false;
  DonorTable donors;
  uint64_t kept = 0;
  const std::vector<Chunk*> chunks = ChooseKept(passes, result, donors, kept);
  if (NumberRegion().empty()) {
    const uint64_t regionFree = WrittenOf(passes);
    result.sameWithRegion = kept > regionFree ? kept - regionFree : 0;
  }
  MergedRuns<ByTime> byTime(RunsOf(chunks));
  // A backup file's records are read again: it must still be the file the first pass read.
  for (size_t i = 0; i < ins.size(); ++i) {
    if (passes[i].copied != nullptr && !passes[i].copied->Unchanged()) {
      return Fail(result, WideToUtf8(ins[i]) + ": the file changed while it was merged");
    }
  }
  WrittenCounts written;
  std::string error;
  const bool merged = WriteChosen(out, outKind, deletedAs, passes, donors, byTime, kept, result,
                                  written, error);
  if (!merged) return Fail(result, error);
  for (const MergeInputCounts& input : result.inputs) result.leftOut += LeftOutByReader(input.read);
  result.leftOut += UnwrittenOf(written);
  result.written -= written.multimediaLeftOut + written.unaddressedLeftOut +
                    written.callsWritten + written.callsLeftOut + written.messagesLeftOut;
  result.callsWritten = written.callsWritten;
  result.callLog = written.callLog;
  result.entriesWritten = written.entriesWritten;
  result.replacedMessages = written.replacedMessages;
  return true;
}

}  // namespace larkpost
