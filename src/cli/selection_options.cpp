#include "cli/selection_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>

#include "cli/cli.h"
#include "identity/phone_number.h"
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
                     "comma-separated folders: draft,inbox,outbox,sent,deleted (default: all)")
      ->each([&options](const std::string&) { options.foldersGiven = true; });
  command.add_option("--since", options.since,
                     "only messages delivered at or after DATE (2024-01-31 or 2024-01-31T18:30, "
                     "local time)")
      ->each([&options](const std::string&) { options.sinceGiven = true; });
  command.add_option("--until", options.until,
                     "only messages delivered up to DATE (a date includes that whole day)")
      ->each([&options](const std::string&) { options.untilGiven = true; });
  command.add_flag("--drafts", options.drafts,
                   "with --since or --until: keep messages without a delivery time too");
  // One text per --contact: a word after it is the command's PATH, never another contact.
  command.add_option("--contact", options.contacts,
                     "only messages with this number or a name containing this text "
                     "(repeatable: any of them)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

bool MakeSelection(const SelectionOptions& options, Selection& selection, int32_t (&flags)[5],
                   std::string& error) {
  std::fill(std::begin(flags), std::end(flags), 1);
  if ((options.foldersGiven || !options.folders.empty()) &&
      !ParseFolderList(options.folders, flags, error)) {
    return false;
  }
  std::array<bool, kFolderKindCount> folders{};
  for (int i = 0; i < kFolderKindCount; ++i) folders[i] = flags[i] != 0;
  selection.SetFolders(folders);
  uint64_t since = 0;
  const bool hasSince = options.sinceGiven || !options.since.empty();
  if (hasSince) {
    if (!ParseBound("--since", options.since, false, since, error)) return false;
    selection.SetSince(since);
  }
  if (options.untilGiven || !options.until.empty()) {
    uint64_t until = 0;
    if (!ParseBound("--until", options.until, true, until, error)) return false;
    if (hasSince && until <= since) {
      error = "--until: \"" + options.until + "\" ends before --since \"" + options.since +
              "\" begins; no message could be selected";
      return false;
    }
    selection.SetUntil(until);
  }
  selection.SetDrafts(options.drafts);
  // A number given finds the party however its messages write it, as restore and merge do.
  selection.SetNumberNormaliser(NormalisedNumberView);
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
