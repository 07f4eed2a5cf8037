#include "cli/selection_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>

#include "cli/cli.h"
#include "message/counts.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

bool ParseBound(const char* option, const std::string& text, bool end, uint64_t& fileTime,
                std::string& error) {
  if (ParseSelectionTime(text, end, fileTime)) return true;
  error = std::string(option) + ": \"" + text +
          "\" is not a date (2024-01-31) or a date and time (2024-01-31T18:30)";
  return false;
}

}  // namespace

void AddSelectionOptions(CLI::App& command, SelectionOptions& options) {
  command.add_option("--folders", options.folders,
                     "comma-separated folders: draft,inbox,outbox,sent,deleted (default: all)");
  command.add_option("--since", options.since,
                     "only messages delivered at or after DATE (2024-01-31 or 2024-01-31T18:30, "
                     "local time)");
  command.add_option("--until", options.until,
                     "only messages delivered up to DATE (a date includes that whole day)");
  command.add_flag("--drafts", options.drafts,
                   "with --since or --until: keep messages without a delivery time too");
  command.add_option("--contact", options.contacts,
                     "only messages with this number or a name containing this text "
                     "(repeatable: any of them)");
}

bool MakeSelection(const SelectionOptions& options, Selection& selection, int32_t (&flags)[5],
                   std::string& error) {
  std::fill(std::begin(flags), std::end(flags), 1);
  if (!options.folders.empty() && !ParseFolderList(options.folders, flags, error)) return false;
  std::array<bool, kFolderKindCount> folders{};
  for (int i = 0; i < kFolderKindCount; ++i) folders[i] = flags[i] != 0;
  selection.SetFolders(folders);
  uint64_t bound = 0;
  if (!options.since.empty()) {
    if (!ParseBound("--since", options.since, false, bound, error)) return false;
    selection.SetSince(bound);
  }
  if (!options.until.empty()) {
    if (!ParseBound("--until", options.until, true, bound, error)) return false;
    selection.SetUntil(bound);
  }
  selection.SetDrafts(options.drafts);
  for (const std::string& contact : options.contacts) {
    if (contact.empty()) {
      error = "--contact: the text is empty";
      return false;
    }
    selection.AddContact(Utf8ToWide(contact));
  }
  return true;
}

std::string SelectedLine(uint64_t selected, uint64_t of) {
  return "Selected " + Thousands(selected) + " of " + Thousands(of) +
         (of == 1 ? " message." : " messages.");
}

}  // namespace larkpost
