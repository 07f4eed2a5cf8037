// The fault plan: per-operation call counters and the faults that tests arm against them.
// One lock guards both; it is never held while calling anything else.
#include <array>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/mapi/operations.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

// In the order of Operation.
constexpr std::array<std::string_view, kOperationCount> kNames = {
    "MAPILogonEx",
    "MAPIAllocateBuffer",
    "MAPIAllocateMore",
    "IMAPISession::GetMsgStoresTable",
    "IMAPISession::OpenEntry",
    "IMAPISession::Logoff",
    "IMsgStore::GetProps",
    "IMsgStore::SetProps",
    "IMsgStore::SaveChanges",
    "IMsgStore::OpenEntry",
    "IMAPIFolder::GetProps",
    "IMAPIFolder::SetProps",
    "IMAPIFolder::SaveChanges",
    "IMAPIFolder::GetContentsTable",
    "IMAPIFolder::GetHierarchyTable",
    "IMAPIFolder::OpenEntry",
    "IMAPIFolder::CreateMessage",
    "IMAPIFolder::CreateFolder",
    "IMessage::GetProps",
    "IMessage::SetProps",
    "IMessage::SaveChanges",
    "IMessage::GetRecipientTable",
    "IMessage::ModifyRecipients",
    "IMessage::GetAttachmentTable",
    "IMessage::OpenAttach",
    "IMessage::CreateAttach",
    "IAttach::GetProps",
    "IAttach::SetProps",
    "IAttach::SaveChanges",
    "IAttach::OpenProperty",
    "IStream::Read",
    "IStream::Write",
    "IStream::Commit",
    "IMAPITable::SetColumns",
    "IMAPITable::QueryRows",
    "IMAPITable::GetRowCount",
    "IMAPITable::SeekRow",
    "IMAPITable::FindRow",
    "IMAPITable::Restrict",
    "ReadMessagesAt",
    "ReadMessagesFrom",
    "DeleteMessageAt",
};

struct Fault {
  Operation operation;
  long long first;  // call numbers (as counted since ClearFaults) that fail, inclusive
  long long last;
  HRESULT result;
};

struct Plan {
  std::mutex mutex;
  std::array<long long, kOperationCount> counts{};
  std::vector<Fault> faults;
};

Plan& ThePlan() {
  static Plan plan;
  return plan;
}

// A misspelt name would arm a fault that never fires, or count calls that never happen: the
// test that used it is wrong, so it fails here.
Operation Checked(const std::string& name) {
  std::optional<Operation> operation = OperationNamed(name);
  if (!operation) throw std::invalid_argument("no operation of the fault plan is named " + name);
  return *operation;
}

}  // namespace

std::optional<Operation> OperationNamed(std::string_view name) {
  for (size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) return static_cast<Operation>(i);
  }
  return std::nullopt;
}

std::optional<HRESULT> FaultFor(Operation operation) {
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  long long call = ++plan.counts[static_cast<size_t>(operation)];
  for (const Fault& fault : plan.faults) {
    if (fault.operation == operation && call >= fault.first && call <= fault.last) {
      return fault.result;
    }
  }
  return std::nullopt;
}

void AddFault(const std::string& operation, int nthCall, HRESULT result, int times) {
  Operation checked = Checked(operation);
  if (nthCall < 1 || times < 1) return;
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  long long base = plan.counts[static_cast<size_t>(checked)];
  plan.faults.push_back(Fault{checked, base + nthCall, base + nthCall + times - 1, result});
}

void ClearFaults() {
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  plan.faults.clear();
  plan.counts.fill(0);
}

int CallCount(const std::string& operation) {
  Operation checked = Checked(operation);
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  return static_cast<int>(plan.counts[static_cast<size_t>(checked)]);
}

}  // namespace larkpost::mapi
