// The selection options every message command takes, from the command line into a Selection:
//
//   --folders LIST   draft,inbox,outbox,sent,deleted (any letter case; default: all)
//   --since DATE     2024-01-31 (local midnight) or 2024-01-31T18:30[:15], inclusive
//   --until DATE     the same; a date includes that whole day, a time its whole minute (second)
//                    (a local time the clocks show twice: --since its first, --until its last)
//   --drafts         messages without a delivery time even when --since or --until is given
//   --contact TEXT   repeatable: a number (digits compared) or part of a name
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message/selection.h"

namespace CLI {
class App;
}

namespace larkpost {

struct SelectionOptions {
  std::string folders;
  std::string since;
  std::string until;
  // Given on the command line, even empty (an empty one is a usage error, not "everything").
  bool foldersGiven = false;
  bool sinceGiven = false;
  bool untilGiven = false;
  bool drafts = false;
  std::vector<std::string> contacts;
};

// Adds the options to a command.
void AddSelectionOptions(CLI::App& command, SelectionOptions& options);

// The selection the options describe, and the five folder flags (FolderKind order). False with a
// message naming the option and the text at fault: a usage error, as are an empty value and a
// span whose end comes before its start (it would select nothing).
bool MakeSelection(const SelectionOptions& options, Selection& selection, int32_t (&flags)[5],
                   std::string& error);

// "Selected 1,204 of 52,310 messages."
std::string SelectedLine(uint64_t selected, uint64_t of);

}  // namespace larkpost
