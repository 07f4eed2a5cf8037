#include "regex/pattern.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory_resource>

#include "regex/element.h"
#include "regex/matcher.h"
#include "regex/memo.h"
#include "regex/parser.h"
#include "regex/program.h"

namespace larkpost {

// One compilation. Its tables live in an arena that starts inside the object itself, so a
// typical pattern compiles with this one allocation; a recompilation replaces the whole object.
struct Pattern::Impl {
  Impl() : tree(&arena), program(&arena) {}

  alignas(std::max_align_t) std::byte buffer[4096];
  std::pmr::monotonic_buffer_resource arena{buffer, sizeof buffer};
  regex_internal::ElementTree tree;  // every element this Pattern created
  regex_internal::Program program;
};

Pattern::Pattern() = default;
Pattern::~Pattern() = default;

void Pattern::Compile(const char* pattern, int length, int flags) {
  impl_.reset();
  if (pattern == nullptr) return;
  impl_ = std::make_unique<Impl>();
  Impl& impl = *impl_;
  if (length < 0) length = 0;
  // Room for a typical pattern up front: compiling then allocates each table once.
  const size_t room = static_cast<size_t>(length) + 4;
  impl.tree.elements.reserve(room);
  impl.tree.children.reserve(room);
  impl.tree.strings.reserve(room);
  impl.tree.sets.reserve(8);
  impl.tree.groups.reserve(8);
  impl.program.nodes.reserve(room);
  regex_internal::ParsePattern(pattern, length, flags, &impl.tree);
  regex_internal::BuildProgram(&impl.tree, (flags & kRightToLeft) != 0, &impl.program);
}

bool Pattern::HasRoot() const { return impl_ != nullptr; }

bool Pattern::Memoized() const {
  return impl_ != nullptr && regex_internal::PlannedMemo(impl_->program).memo_rows > 0;
}

PatternMatch Pattern::Match(const char* text, int start, MatchState* state) const {
  if (text == nullptr) return PatternMatch{};
  return Match(std::string_view(text, std::strlen(text)), start, state);
}

PatternMatch Pattern::Match(std::string_view text, int start, MatchState* state) const {
  // Offsets are ints: a text too long to address that way cannot be matched.
  if (impl_ == nullptr || text.size() > static_cast<size_t>(INT_MAX - 2)) return PatternMatch{};
  const Impl& impl = *impl_;
  const int length = static_cast<int>(text.size());
  if (impl.program.right_to_left) {
    if (start < 0 || start > length) start = length;
  } else {
    if (start > length) return PatternMatch{};
    if (start < 0) start = 0;
  }
  return regex_internal::Matcher::Search(impl.program, impl.tree, text, start, state);
}

}  // namespace larkpost
