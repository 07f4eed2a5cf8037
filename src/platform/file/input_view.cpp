#include "platform/file/input_view.h"

#include <map>
#include <mutex>

namespace larkpost {

namespace {

std::mutex substitutesMutex;
std::map<std::u16string, std::shared_ptr<const InputView>>& Substitutes() {
  static std::map<std::u16string, std::shared_ptr<const InputView>> substitutes;
  return substitutes;
}

}  // namespace

void SubstituteInput(const std::u16string& path, std::shared_ptr<const InputView> view) {
  std::lock_guard<std::mutex> lock(substitutesMutex);
  Substitutes()[path] = std::move(view);
}

std::shared_ptr<const InputView> SubstituteOf(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(substitutesMutex);
  const auto found = Substitutes().find(path);
  return found == Substitutes().end() ? nullptr : found->second;
}

void ClearSubstitutes() {
  std::lock_guard<std::mutex> lock(substitutesMutex);
  Substitutes().clear();
}

}  // namespace larkpost
