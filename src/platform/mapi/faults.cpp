// The fault plan: per-operation call counters and the faults that tests arm against them.
// One lock guards both; it is never held while calling anything else.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mapi/database.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

struct Fault {
  std::string operation;
  long long first;  // call numbers (as counted since ClearFaults) that fail, inclusive
  long long last;
  HRESULT result;
};

struct Plan {
  std::mutex mutex;
  std::map<std::string, long long, std::less<>> counts;
  std::vector<Fault> faults;
};

Plan& ThePlan() {
  static Plan plan;
  return plan;
}

}  // namespace

bool FaultFor(const char* operation, HRESULT* result) {
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  std::string_view name(operation);
  auto it = plan.counts.find(name);
  if (it == plan.counts.end()) it = plan.counts.emplace(std::string(name), 0).first;
  long long call = ++it->second;
  for (const Fault& fault : plan.faults) {
    if (fault.operation == name && call >= fault.first && call <= fault.last) {
      *result = fault.result;
      return true;
    }
  }
  return false;
}

void AddFault(const std::string& operation, int nthCall, HRESULT result, int times) {
  if (nthCall < 1 || times < 1) return;
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  long long base = plan.counts[operation];
  plan.faults.push_back(Fault{operation, base + nthCall, base + nthCall + times - 1, result});
}

void ClearFaults() {
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  plan.faults.clear();
  plan.counts.clear();
}

int CallCount(const std::string& operation) {
  Plan& plan = ThePlan();
  std::lock_guard<std::mutex> lock(plan.mutex);
  auto it = plan.counts.find(operation);
  return it == plan.counts.end() ? 0 : static_cast<int>(it->second);
}

}  // namespace larkpost::mapi
