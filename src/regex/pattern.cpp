#include "regex/pattern.h"

#include <climits>
#include <cstring>

#include "regex/element.h"
#include "regex/matcher.h"
#include "regex/parser.h"
#include "regex/program.h"

namespace larkpost {

struct Pattern::Impl {
  regex_internal::ElementTree tree;  // every element this Pattern created
  regex_internal::Program program;
  bool has_root = false;
};

Pattern::Pattern() : impl_(std::make_unique<Impl>()) {}
Pattern::~Pattern() = default;

void Pattern::Compile(const char* pattern, int length, int flags) {
  Impl& impl = *impl_;
  impl.tree.Clear();
  impl.program.Clear();
  impl.has_root = false;
  if (pattern == nullptr) return;
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
  impl.has_root = true;
}

bool Pattern::HasRoot() const { return impl_->has_root; }

PatternMatch Pattern::Match(const char* text, int start, MatchState* state) const {
  if (text == nullptr) return PatternMatch{};
  return Match(std::string_view(text, std::strlen(text)), start, state);
}

PatternMatch Pattern::Match(std::string_view text, int start, MatchState* state) const {
  const Impl& impl = *impl_;
  // Offsets are ints: a text too long to address that way cannot be matched.
  if (!impl.has_root || text.size() > static_cast<size_t>(INT_MAX - 2)) return PatternMatch{};
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
