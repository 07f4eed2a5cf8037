// store dedupe: removing the duplicates already in a store, on the user's request.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <istream>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "cli/merge_command.h"
#include "cli/printable.h"
#include "cli/selection_options.h"
#include "cli/terminal_ui.h"
#include "jobs/store_access.h"
#include "message/counts.h"
#include "message/folder_path.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"
#include "store/dedupe.h"
#include "store/session.h"

namespace larkpost {

namespace {

nlohmann::ordered_json MessageJson(const MessageRecord& message) {
  nlohmann::ordered_json json;
  json["folder"] = WideToUtf8(message.folderPath);
  json["deliveryTime"] = FileTimeToUInt64(message.deliveryTime);
  json["senderName"] = WideToUtf8(message.senderName);
  json["senderAddress"] = WideToUtf8(message.senderAddress);
  nlohmann::ordered_json recipients = nlohmann::ordered_json::array();
  for (const RecordRecipient& recipient : message.recipients) {
    recipients.push_back({{"name", WideToUtf8(recipient.displayName)},
                          {"address", WideToUtf8(recipient.address)},
                          {"type", recipient.type}});
  }
  json["recipients"] = std::move(recipients);
  json["text"] = WideToUtf8(message.text);
  return json;
}

}  // namespace

CLI::App* AddDedupeCommand(CLI::App& store, DedupeOptions& options) {
  CLI::App* dedupe = store.add_subcommand(
      "dedupe", "remove messages the store holds twice, keeping the copy that holds the most");
  dedupe->add_flag("--dry-run", options.dryRun, "say what would be removed, change nothing");
  dedupe->add_flag("--yes,-y", options.confirmed, "do not ask for confirmation");
  dedupe->add_flag("--json", options.json,
                   "each removed message as a JSON line, then the counts as one JSON object");
  return dedupe;
}

int StoreDedupe(const std::string& database, const DedupeOptions& options, CliStreams& io) {
  if (!StoreFileExists(database)) {
    io.err << WideToUtf8(LoadString(IDS_ACCOUNT_INIT_FAILED)) << "\n";
    HintMissingStore(database, io);
    return kExitFailure;
  }
  // Removing messages is not undone: asked as a restore is asked.
  if (!options.dryRun && !options.confirmed) {
    const std::string question = "Remove the messages the store " + PrintableLine(database) +
                                 " holds twice, keeping the richest copy of each?";
    if (!io.inputIsTerminal) {
      io.err << question << "\n"
             << "larkpost: not removing: there is no terminal to confirm on (pass --yes)\n";
      return kExitFailure;
    }
    io.err << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(io.in, answer) || !(answer == "y" || answer == "Y" || answer == "yes")) {
      io.err << "Dedupe cancelled; the store was not changed.\n";
      return kExitFailure;
    }
  }
  SmsSession session(u"SMS");
  if (!session.initialized) {
    io.err << WideToUtf8(LoadString(IDS_ACCOUNT_INIT_FAILED)) << "\n";
    return kExitFailure;
  }
  ExclusiveLock lock;
  if (!options.dryRun && !LockedForRun(database, lock, io)) return kExitFailure;
  DedupeCounts counts;
  std::u16string error;
  auto removed = [&](const MessageRecord& message) {
    io.out << MessageJson(message).dump() << "\n";
  };
  if (!DedupeStore(session, options.dryRun,
                   options.json ? std::function<void(const MessageRecord&)>(removed) : nullptr,
                   counts, error)) {
    io.err << "larkpost: dedupe: " << PrintableLine(WideToUtf8(error)) << "\n";
    return kExitFailure;
  }
  if (options.json) {
    nlohmann::ordered_json summary;
    summary["removed"] = counts.removed;
    summary["examined"] = counts.examined;
    summary["dryRun"] = options.dryRun;
    nlohmann::ordered_json folders = nlohmann::ordered_json::object();
    for (const auto& [path, count] : counts.folders) folders[WideToUtf8(path)] = count;
    summary["folders"] = std::move(folders);
    io.out << summary.dump() << "\n";
    return kExitSuccess;
  }
  io.out << (options.dryRun ? "Would remove " : "Removed ") << Thousands(counts.removed)
         << (counts.removed == 1 ? " duplicate" : " duplicates") << " of "
         << Thousands(counts.examined) << " messages"
         << (options.dryRun ? " (dry run: the store was not changed)" : "") << ".\n";
  for (const auto& [path, count] : counts.folders) {
    io.out << "  " << PrintableLine(WideToUtf8(ShownFolderPath(path))) << ": " << Thousands(count)
           << "\n";
  }
  return kExitSuccess;
}

}  // namespace larkpost
