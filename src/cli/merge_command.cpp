#include "cli/merge_command.h"

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>
#include <ostream>

#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/record_json.h"
#include "cli/selection_options.h"
#include "cli/terminal_ui.h"
#include "formats/ios_input.h"
#include "identity/phone_number.h"
#include "jobs/merge.h"
#include "jobs/outcome.h"
#include "platform/file/output_file.h"
#include "message/counts.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

CLI::App* AddMergeCommand(CLI::App& app, MergeOptions& options) {
  CLI::App* merge = app.add_subcommand(
      "merge", "write the union of several files into one, each message once, without a store");
  merge->add_option("OUT", options.out, "file to write: .bak, .xml, .zip, .html or .json")
      ->required();
  merge->add_option("IN", options.ins,
                    "files to read: .bak, .xml, .zip, .json call logs or iPhone messages")
      ->required();
  merge->add_option("--deleted-as", options.deletedAs,
                    "what deleted messages become on a phone: direction (default), received or "
                    "sent");
  merge->add_flag("--force,-f", options.force, "replace OUT when it exists");
  merge->add_flag("--json", options.json, "print the counts as one JSON object");
  return merge;
}

int RunMerge(const MergeOptions& options, const Selection& selection, CliStreams& io) {
  DeletedAs deletedAs = DeletedAs::kByDirection;
  if (!ParseDeletedAs(options.deletedAs, deletedAs)) {
    io.err << "larkpost: --deleted-as: \"" << options.deletedAs
           << "\" is not one of direction, received, sent\n";
    return kExitUsage;
  }
  std::vector<std::u16string> ins;
  for (const std::string& in : options.ins) {
    ins.push_back(PathToWide(in));
    // An encrypted iPhone backup asks for its password now, not on the thread that reads it.
    if (const std::string locked = UnlockIosInput(ins.back()); !locked.empty()) {
      io.err << PrintableLine(locked) << "\n";
      return kExitFailure;
    }
  }
  const std::u16string out = PathToWide(options.out);
  MergeResult result;
  const auto write = [&] { return MergeMessageFiles(ins, out, deletedAs, selection, result); };
  if (const std::optional<int> failed = WriteOrReport("merge", out, write, result.error, io)) {
    return *failed;
  }
  if (options.json) {
    nlohmann::ordered_json summary;
    summary["written"] = result.written;
    summary["entriesWritten"] = result.entriesWritten;
    summary["inputs"] = nlohmann::ordered_json::array();
    for (const MergeInputCounts& input : result.inputs) {
      summary["inputs"].push_back({{"path", WideToUtf8(input.path)},
                                   {"read", input.read.messages},
                                   {"selected", input.selected},
                                   {"contributed", input.contributed},
                                   {"alreadyThere", input.alreadyThere}});
    }
    summary["replaced"] = result.replacedMessages;
    summary["sameWithRegion"] = result.sameWithRegion;
    AddCallsJson(summary, result.callsWritten, result.callLog);
    AddLeftOutJson(summary, result.leftOut.multimedia, result.leftOut.calls);
    io.out << JsonLine(summary) << "\n";
    ReportNoRegion(result.sameWithRegion, io);
    return ReportLossy(result.replacedMessages, result.leftOut, FileKindForPath(out), io);
  }
  io.out << "Merged " << Counted(result.written, "message", "messages") << " from "
         << result.inputs.size()
         << (result.inputs.size() == 1 ? " file" : " files") << " into " << PrintableLine(options.out) << ".\n";
  uint64_t selected = 0;
  uint64_t read = 0;
  for (const MergeInputCounts& input : result.inputs) {
    selected += input.selected;
    read += input.read.messages + input.read.calls;
    // A call log's or a phone's calls are counted with the messages, as they are merged.
    io.out << "  " << PrintableLine(WideToPath(input.path)) << ": "
           << (input.read.calls == 0 ? Counted(input.selected, "message", "messages")
                                     : Thousands(input.selected) + " messages and calls")
           << ", contributed " << Thousands(input.contributed) << ", already there "
           << Thousands(input.alreadyThere) << "\n";
  }
  if (selection.Narrows()) io.out << SelectedLine(selected, read) << "\n";
  if (result.entriesWritten != result.written) {
    io.out << "Wrote " << Thousands(result.entriesWritten) << " entries (one per recipient).\n";
  }
  if (const std::string calls = CallsWrittenLine(result.callsWritten, result.callLog);
      !calls.empty()) {
    io.out << calls << "\n";
  }
  ReportNoRegion(result.sameWithRegion, io);
  // As a backup and a conversion: the file is complete, but some characters could not be
  // spelled, or some messages not kept.
  return ReportLossy(result.replacedMessages, result.leftOut, FileKindForPath(out), io);
}

bool ApplyRegion(const std::string& region, bool given, CliStreams& io) {
  if (!given) {
    SetNumberRegion(RegionFromEnvironment());
    return true;
  }
  if (!region.empty() && !IsKnownRegion(region)) {
    io.err << "larkpost: --region: \"" << region
           << "\" is not a country code libphonenumber knows (two letters, e.g. DE, US)\n";
    return false;
  }
  SetNumberRegion(region);
  return true;
}

void ReportNoRegion(uint64_t sameWithRegion, CliStreams& io) {
  if (sameWithRegion == 0) return;
  io.err << "Numbers without a country code were met; --region CC compares them with "
            "international ones.\n"
         << "With it, " << Counted(sameWithRegion, "message", "messages")
         << " would have matched " << (sameWithRegion == 1 ? "another" : "others") << ".\n";
}

}  // namespace larkpost
