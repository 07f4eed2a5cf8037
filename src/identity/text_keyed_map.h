// A hash map keyed by UTF-16 texts that is looked up by a view of one, without copying it: the
// per-thread caches of this module, asked for every message.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace larkpost {

struct TextViewHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view text) const {
    return std::hash<std::u16string_view>{}(text);
  }
};

template <typename Value>
using TextKeyedMap = std::unordered_map<std::u16string, Value, TextViewHash, std::equal_to<>>;

}  // namespace larkpost
