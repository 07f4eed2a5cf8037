#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <istream>
#include <ostream>

#include "cli/commands.h"
#include "cli/merge_command.h"
#include "cli/selection_options.h"
#include "cli/terminal_ui.h"
#include "jobs/message_files.h"
#include "jobs/runs.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The session could not be opened: the system's text, and for a store file that does not exist
// a hint on the next line.
void ReportNoSession(const std::string& database, CliStreams& io) {
  AfxMessageBox(IDS_ACCOUNT_INIT_FAILED, MB_ICONWARNING);
  if (!StoreExists(database)) HintMissingStore(database, io);
}

// The messaging logon would create a missing store file; a backup or restore must not quietly
// run against a new empty store because a path was mistyped.
bool CanLogOn(const std::string& database, CliStreams& io) {
  if (StoreExists(database)) return true;
  ReportNoSession(database, io);
  return false;
}

int RunBackup(const std::string& database, const SelectionOptions& options,
              const std::string* path, CliStreams& io) {
  int32_t flags[5] = {1, 1, 1, 1, 1};
  Selection selection;
  std::string error;
  if (!MakeSelection(options, selection, flags, error)) {
    io.err << "larkpost: " << error << "\n";
    return kExitUsage;
  }
  // Without PATH the default name; a PATH given blank is refused by the backup itself.
  const std::u16string target =
      path == nullptr ? DefaultBackupName(CTime::GetCurrentTime()) : Utf8ToWide(*path);

  TerminalUserInterface ui(io.in, io.out, io.err, io.inputIsTerminal, io.errorIsTerminal);
  ScopedUserInterface installed(ui);
  if (!CanLogOn(database, io)) return kExitFailure;
  BackupJob job(FileKindForPath(target), target, flags[0], flags[1], flags[2], flags[3], flags[4]);
  job.selection = selection;
  if (!job.session.initialized) {
    ReportNoSession(database, io);
    return kExitFailure;
  }
  ui.Follow(job.outcome);
  StartBackup(job);
  if (job.outcome != RunOutcome::kFailed && selection.LooksAtMessages()) {
    io.out << SelectedLine(job.written, job.written + job.leftOut) << "\n";
  }
  return ui.ExitStatus();
}

struct RestoreOptions {
  bool confirmed = false;
  bool dryRun = false;
  bool json = false;
};

int RunRestore(const std::string& database, const std::string& path,
               const RestoreOptions& options, const Selection& selection, CliStreams& io) {
  const std::u16string source = Utf8ToWide(path);
  // With --json the standard output carries the JSON object alone; the messages go to stderr.
  TerminalUserInterface ui(io.in, options.json ? io.err : io.out, io.err, io.inputIsTerminal,
                           io.errorIsTerminal);
  ScopedUserInterface installed(ui);
  if (!options.confirmed && !options.dryRun) {
    const std::u16string question = RestoreQuestion(source);
    if (!io.inputIsTerminal) {
      io.err << WideToUtf8(question) << "\n"
             << "larkpost: not restoring: there is no terminal to confirm on (pass --yes)\n";
      return kExitFailure;
    }
    if (AfxMessageBox(question, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
      io.err << "Restore cancelled; the store was not changed.\n";
      return kExitFailure;
    }
  }
  if (!CanLogOn(database, io)) return kExitFailure;
  RestoreJob job(source, options.dryRun);
  job.selection = selection;
  if (!job.session.initialized) {
    ReportNoSession(database, io);
    return kExitFailure;
  }
  ui.Follow(job.outcome);
  StartRestore(job);
  const int status = ui.ExitStatus();
  if (status != kExitSuccess) return status;
  const RestoreCounts counts = job.Counts();
  if (options.json) {
    nlohmann::ordered_json summary;
    summary["restored"] = counts.restored;
    summary["alreadyPresent"] = counts.present;
    summary["byNumberFormat"] = counts.byNumberFormat;
    summary["foldersCreated"] = counts.foldersCreated;
    summary["dryRun"] = options.dryRun;
    if (selection.Narrows()) {
      summary["selected"] = job.considered - job.leftOut;
      summary["read"] = job.considered;
    }
    io.out << summary.dump() << "\n";
  } else {
    io.out << "Restored: " << counts.restored << ", already present: " << counts.present;
    if (counts.byNumberFormat > 0) io.out << " (" << counts.byNumberFormat << " by number format)";
    io.out << ", folders created: " << counts.foldersCreated
           << (options.dryRun ? " (dry run: the store was not changed)" : "") << "\n";
    if (selection.Narrows()) {
      io.out << SelectedLine(job.considered - job.leftOut, job.considered) << "\n";
    }
  }
  return status;
}

}  // namespace

bool ParseFolderList(const std::string& list, int32_t (&flags)[5], std::string& error) {
  std::fill(std::begin(flags), std::end(flags), 0);
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string item =
        Trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    const std::optional<FolderKind> kind = FolderKindFromOption(item);
    if (!kind) {
      error = item.empty() ? "--folders: empty folder name in \"" + list + "\""
                           : "--folders: unknown folder \"" + item + "\"";
      error += " (choose from";
      for (const FolderNames& names : kFolderNames) {
        error += std::string(names.kind == FolderKind::Draft ? " " : ", ") + names.optionName;
      }
      error += ")";
      return false;
    }
    flags[static_cast<int>(*kind)] = 1;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

int RunCli(const std::vector<std::string>& args, CliStreams io) {
  CLI::App app{"Backs up the SMS messages of a message store into a file and restores them.",
               "larkpost"};
  app.require_subcommand(1);
  app.fallthrough();

  std::string database = mapi::DefaultDatabasePath();
  int codePage = 0;
  app.add_option("--store", database, "message store database (default: " + database + ")");
  app.add_option("--codepage", codePage,
                 "Windows code page of the text in backup files (default 1252)");
  std::string region;
  app.add_option("--region", region,
                 "country of numbers written without a country code, e.g. DE (default: the "
                 "locale's)");

  // Every command that reads messages takes the same selection; only one command runs.
  SelectionOptions selectionOptions;
  std::string backupPath;
  CLI::App* backup = app.add_subcommand("backup", "write the store's messages into a file");
  backup->add_option("PATH", backupPath,
                     "output file; a name ending in .txt writes a plain-text export, .xml, .zip "
                     "or .html a phone's XML, a phone's ZIP or a page to read "
                     "(default: BAK_<yyyymmdd_hhmm>.bak here)");

  std::string restorePath;
  RestoreOptions restoreOptions;
  CLI::App* restore = app.add_subcommand("restore", "put the messages of a backup file back");
  restore->add_flag("--yes,-y", restoreOptions.confirmed, "do not ask for confirmation");
  restore->add_flag("--dry-run", restoreOptions.dryRun,
                    "count what a restore would do without changing the store");
  restore->add_flag("--json", restoreOptions.json, "print the counts as one JSON object");
  restore->add_option("PATH", restorePath, "backup file (.bak), or a phone's .xml or .zip")
      ->required();

  std::string verifyPath;
  CLI::App* verify = app.add_subcommand("verify", "check a backup file without touching a store");
  verify->add_option("PATH", verifyPath, "backup file (.bak), or a phone's .xml or .zip")
      ->required();

  std::string showPath;
  bool json = false;
  CLI::App* show = app.add_subcommand("show", "list the records of a backup file");
  show->add_option("PATH", showPath, "backup file (.bak)")->required();
  show->add_flag("--json", json, "one JSON object per record and line");

  std::string salvageDamaged, salvageOut;
  CLI::App* salvage = app.add_subcommand(
      "salvage", "copy the whole records of a damaged backup file into a new, valid one");
  salvage->add_option("DAMAGED", salvageDamaged, "damaged backup file")->required();
  salvage->add_option("OUT", salvageOut, "new backup file to write")->required();

  std::string convertIn, convertOut, deletedAs = "direction";
  CLI::App* convert = app.add_subcommand(
      "convert", "convert the messages of one file into another, without a store");
  convert->add_option("IN", convertIn, "file to read: .bak, .xml or .zip")->required();
  convert->add_option("OUT", convertOut, "file to write: .bak, .xml, .zip or .html")->required();
  convert->add_option("--deleted-as", deletedAs,
                      "what deleted messages become on a phone: direction (default: sent when "
                      "they have recipients, else received), received or sent");

  MergeOptions mergeOptions;
  CLI::App* merge = AddMergeCommand(app, mergeOptions);

  for (CLI::App* command : {backup, restore, verify, show, convert, merge}) {
    AddSelectionOptions(*command, selectionOptions);
  }

  CLI::App* store = app.add_subcommand("store", "create, list, dump or load a message store");
  store->require_subcommand(1);
  store->add_subcommand("init", "create the store file when it does not exist");
  store->add_subcommand("list", "folders with their message counts");
  DedupeOptions dedupeOptions;
  CLI::App* dedupe = AddDedupeCommand(*store, dedupeOptions);
  std::string dumpFile, loadFile;
  store->add_subcommand("dump", "write every message as NDJSON")
      ->add_option("FILE", dumpFile, "output file (default: standard output)");
  store->add_subcommand("load", "add messages from NDJSON (creates the store when missing)")
      ->add_option("FILE", loadFile, "input file (default: standard input)");

  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e, io.out, io.err);
    return status == 0 ? kExitSuccess : kExitUsage;
  }

  if (app.count("--codepage") > 0 && !SetAnsiCodePage(static_cast<unsigned>(codePage))) {
    io.err << "larkpost: --codepage: no converter for code page " << codePage << "\n";
    return kExitUsage;
  }
  mapi::SetDatabasePath(database);
  if (!ApplyRegion(region, app.count("--region") > 0, io)) return kExitUsage;

  if (*backup) {
    return RunBackup(database, selectionOptions,
                     backup->count("PATH") > 0 ? &backupPath : nullptr, io);
  }
  Selection selection;
  int32_t flags[5];
  std::string selectionError;
  if (!MakeSelection(selectionOptions, selection, flags, selectionError)) {
    io.err << "larkpost: " << selectionError << "\n";
    return kExitUsage;
  }
  if (*restore) return RunRestore(database, restorePath, restoreOptions, selection, io);
  if (*verify) {
    const std::u16string path = Utf8ToWide(verifyPath);
    return IsPhoneFile(path) ? VerifyPhoneFile(path, selection, io)
                             : VerifyBackupFile(path, selection, io);
  }
  if (*show) return ShowBackupFile(Utf8ToWide(showPath), json, selection, io);
  if (*salvage) return RunSalvage(Utf8ToWide(salvageDamaged), Utf8ToWide(salvageOut), io);
  if (*convert) {
    DeletedAs as = DeletedAs::kByDirection;
    if (!ParseDeletedAs(deletedAs, as)) {
      io.err << "larkpost: --deleted-as: \"" << deletedAs
             << "\" is not one of direction, received, sent\n";
      return kExitUsage;
    }
    return ConvertFiles(Utf8ToWide(convertIn), Utf8ToWide(convertOut), as, selection, io);
  }
  if (*merge) return RunMerge(mergeOptions, selection, io);
  if (store->got_subcommand("init")) return StoreInit(database, io);
  if (store->got_subcommand("list")) return StoreList(database, io);
  if (store->got_subcommand("dump")) return StoreDump(database, dumpFile, io);
  if (store->got_subcommand("load")) return StoreLoad(database, loadFile, io);
  if (*dedupe) return StoreDedupe(database, dedupeOptions, io);
  return kExitUsage;
}

}  // namespace larkpost
