// Usage: mapi_bench [--messages=N] [benchmark flags]
// Builds one database of N messages (default 100000) in a temporary folder the way a restore
// does (CreateMessage, SetProps of seven values, ModifyRecipients with one recipient), restores
// N more into another folder as the program does (adding the duplicate test by delivery time
// and the first read of each new message), then
// walks it the way a backup does (contents table in batches of 10, OpenEntry, GetProps of eight
// tags, the recipient table row by row), then looks messages up by delivery time with FindRow
// (index) and, for comparison, by subject (no index: a scan of the folder).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "platform/mapi/provider.h"

namespace {

using larkpost::MapiPtr;

int messageCount = 100000;
std::string directory;
MapiPtr<IMAPISession> session;
MapiPtr<IMAPIFolder> inbox;
MapiPtr<IMAPIFolder> sent;

SPropValue Value(ULONG tag) {
  SPropValue v{};
  v.ulPropTag = tag;
  return v;
}

FILETIME TimeOf(int i) { return FILETIME{static_cast<uint32_t>(i * 10000000u), 0x01D9}; }
std::u16string SubjectOf(int i) {
  std::string s = "Message number " + std::to_string(i) + ", see you at eight; don't be late";
  return std::u16string(s.begin(), s.end());
}

void Check(HRESULT hr, const char* what) {
  if (hr != S_OK) {
    std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    std::exit(1);
  }
}

MapiPtr<IMAPIFolder> OpenFolder(ULONG tag) {
  MapiPtr<IMAPITable> stores;
  Check(session->GetMsgStoresTable(0, stores.put()), "GetMsgStoresTable");
  SRowSet* rows = nullptr;
  Check(stores->QueryRows(1, 0, &rows), "QueryRows");
  ULONG type = 0;
  IUnknown* object = nullptr;
  const SBinary& id = rows->aRow[0].lpProps[0].Value.bin;
  Check(session->OpenEntry(id.cb, id.lpb, nullptr, MAPI_BEST_ACCESS, &type, &object), "OpenEntry");
  FreeProws(rows);
  MapiPtr<IMsgStore> store(static_cast<IMsgStore*>(object));
  SPropTagArray tags{1, &tag};
  ULONG count = 0;
  SPropValue* values = nullptr;
  Check(store->GetProps(&tags, 0, &count, &values), "IMsgStore::GetProps");
  Check(store->OpenEntry(values[0].Value.bin.cb, values[0].Value.bin.lpb, nullptr, 0, &type,
                         &object),
        "IMsgStore::OpenEntry");
  MAPIFreeBuffer(values);
  return MapiPtr<IMAPIFolder>(static_cast<IMAPIFolder*>(object));
}

const ULONG kRecordTags[8] = {PR_ENTRYID, PR_MESSAGE_FLAGS, PR_SUBJECT, PR_LAST_MODIFICATION_TIME,
                              PR_MESSAGE_DELIVERY_TIME, PR_SENDER_EMAIL_ADDRESS, PR_SENDER_NAME,
                              PR_MESSAGE_SIZE};

// One restore step: as the store wrappers write a record. With `asTheProgram`, also the
// duplicate test (FindRow by delivery time on a kept table) and the wrapper's first read of the
// new message.
void RestoreOne(IMAPIFolder* folder, IMAPITable* times, int i, bool asTheProgram) {
  if (asTheProgram) {
    SPropValue when = Value(PR_MESSAGE_DELIVERY_TIME);
    when.Value.ft = TimeOf(i);
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty = SPropertyRestriction{RELOP_EQ, PR_MESSAGE_DELIVERY_TIME, &when};
    if (times->FindRow(&r, BOOKMARK_BEGINNING, 0) != MAPI_E_NOT_FOUND) Check(1, "FindRow");
  }
  MapiPtr<IMessage> message;
  Check(folder->CreateMessage(nullptr, 0, message.put()), "CreateMessage");
  if (asTheProgram) {
    SPropTagArray tags{8, kRecordTags};
    ULONG count = 0;
    SPropValue* values = nullptr;
    benchmark::DoNotOptimize(message->GetProps(&tags, MAPI_UNICODE, &count, &values));
    MAPIFreeBuffer(values);
  }
  std::u16string subject = SubjectOf(i);
  std::u16string sender = u"\"Ann Example\" <+491701234567>";
  std::u16string cls = u"IPM.SMStext";
  SPropValue values[7] = {Value(PR_MESSAGE_FLAGS), Value(PR_SUBJECT),
                          Value(PR_LAST_MODIFICATION_TIME), Value(PR_MESSAGE_DELIVERY_TIME),
                          Value(PR_MESSAGE_CLASS), Value(PR_SENDER_EMAIL_ADDRESS),
                          Value(PR_MESSAGE_SIZE)};
  values[0].Value.ul = 1;
  values[1].Value.lpszW = subject.data();
  values[2].Value.ft = TimeOf(i);
  values[3].Value.ft = TimeOf(i);
  values[4].Value.lpszW = cls.data();
  values[5].Value.lpszW = sender.data();
  values[6].Value.ul = static_cast<ULONG>(subject.size() * 2);
  Check(message->SetProps(7, values, nullptr), "SetProps");
  std::u16string address = u"+491709876543";
  std::u16string name = u"Bob";
  SPropValue recipient[3] = {Value(PR_EMAIL_ADDRESS), Value(PR_RECIPIENT_TYPE),
                             Value(PR_DISPLAY_NAME)};
  recipient[0].Value.lpszW = address.data();
  recipient[1].Value.ul = MAPI_TO;
  recipient[2].Value.lpszW = name.data();
  ADRLIST list{1, {ADRENTRY{0, 3, recipient}}};
  Check(message->ModifyRecipients(MODRECIP_ADD, &list), "ModifyRecipients");
}

void BM_RestoreWrites(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= messageCount; ++i) RestoreOne(inbox.get(), nullptr, i, false);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["us_per_message"] =
      seconds * 1e6 / (static_cast<double>(messageCount) * static_cast<double>(state.iterations()));
}

// The same into another folder, with the duplicate test and the first read of each message.
void BM_RestoreAsTheProgram(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    MapiPtr<IMAPITable> times;
    Check(sent->GetContentsTable(0, times.put()), "GetContentsTable");
    ULONG column = PR_MESSAGE_DELIVERY_TIME;
    SPropTagArray columns{1, &column};
    Check(times->SetColumns(&columns, 0), "SetColumns");
    for (int i = 1; i <= messageCount; ++i) RestoreOne(sent.get(), times.get(), i, true);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["us_per_message"] =
      seconds * 1e6 / (static_cast<double>(messageCount) * static_cast<double>(state.iterations()));
}

void BM_BackupWalk(benchmark::State& state) {
  SPropTagArray tags{8, kRecordTags};
  int64_t seen = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    MapiPtr<IMAPITable> table;
    Check(inbox->GetContentsTable(0, table.put()), "GetContentsTable");
    ULONG column = PR_ENTRYID;
    SPropTagArray columns{1, &column};
    Check(table->SetColumns(&columns, 0), "SetColumns");
    ULONG rowCount = 0;
    Check(table->GetRowCount(0, &rowCount), "GetRowCount");
    for (;;) {
      SRowSet* rows = nullptr;
      Check(table->QueryRows(10, 0, &rows), "QueryRows");
      if (rows->cRows == 0) {
        FreeProws(rows);
        break;
      }
      for (ULONG r = 0; r < rows->cRows; ++r) {
        const SBinary& id = rows->aRow[r].lpProps[0].Value.bin;
        ULONG type = 0;
        IUnknown* object = nullptr;
        Check(inbox->OpenEntry(id.cb, id.lpb, nullptr, 0, &type, &object), "OpenEntry");
        MapiPtr<IMessage> message(static_cast<IMessage*>(object));
        ULONG count = 0;
        SPropValue* values = nullptr;
        HRESULT hr = message->GetProps(&tags, MAPI_UNICODE, &count, &values);
        benchmark::DoNotOptimize(hr);
        MAPIFreeBuffer(values);
        MapiPtr<IMAPITable> recipients;
        if (message->GetRecipientTable(0, recipients.put()) == S_OK) {
          for (;;) {
            SRowSet* row = nullptr;
            Check(recipients->QueryRows(1, 0, &row), "recipient QueryRows");
            bool done = row->cRows == 0;
            FreeProws(row);
            if (done) break;
          }
        }
        ++seen;
      }
      FreeProws(rows);
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["messages"] = static_cast<double>(seen) / static_cast<double>(state.iterations());
  state.counters["us_per_message"] = seen > 0 ? seconds * 1e6 / static_cast<double>(seen) : 0;
}

// Looks up `lookups` delivery times spread over the folder with FindRow from the beginning.
void FindRowBy(benchmark::State& state, bool byTime) {
  MapiPtr<IMAPITable> table;
  Check(inbox->GetContentsTable(0, table.put()), "GetContentsTable");
  ULONG column = PR_MESSAGE_DELIVERY_TIME;
  SPropTagArray columns{1, &column};
  Check(table->SetColumns(&columns, 0), "SetColumns");
  int i = 0;
  for (auto _ : state) {
    int n = 1 + (i++ * 7919) % messageCount;
    SPropValue value = Value(byTime ? PR_MESSAGE_DELIVERY_TIME : PR_SUBJECT);
    std::u16string subject = SubjectOf(n);
    if (byTime) {
      value.Value.ft = TimeOf(n);
    } else {
      value.Value.lpszW = subject.data();
    }
    SRestriction r{};
    r.rt = RES_PROPERTY;
    r.res.resProperty = SPropertyRestriction{RELOP_EQ, value.ulPropTag, &value};
    Check(table->FindRow(&r, BOOKMARK_BEGINNING, 0), "FindRow");
  }
}
void BM_FindRowByDeliveryTime(benchmark::State& state) { FindRowBy(state, true); }
void BM_FindRowBySubjectScan(benchmark::State& state) { FindRowBy(state, false); }

}  // namespace

BENCHMARK(BM_RestoreWrites)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RestoreAsTheProgram)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackupWalk)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindRowByDeliveryTime)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindRowBySubjectScan)->Unit(benchmark::kMicrosecond)->Iterations(20);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--messages=", 11) == 0) messageCount = std::atoi(argv[i] + 11);
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "larkpost-mapi-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  directory = pattern;
  larkpost::mapi::SetDatabasePath(directory + "/messages.db");
  Check(MAPILogonEx(0, nullptr, nullptr, 0, session.put()), "MAPILogonEx");
  inbox = OpenFolder(PR_CE_INBOX_ENTRYID);
  sent = OpenFolder(PR_IPM_SENTMAIL_ENTRYID);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  inbox.reset();
  sent.reset();
  session.reset();
  std::filesystem::remove_all(directory);
  return 0;
}
