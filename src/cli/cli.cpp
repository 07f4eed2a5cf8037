#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <cstdlib>
#include <optional>
#include <istream>
#include <ostream>

#include "backupfile/backup_file.h"
#include "cli/code_page_choice.h"
#include "cli/commands.h"
#include "cli/encryption_options.h"
#include "cli/merge_command.h"
#include "cli/printable.h"
#include "cli/record_json.h"
#include "cli/selection_options.h"
#include "cli/suggest.h"
#include "cli/terminal_ui.h"
#include "formats/ios_input.h"
#include "jobs/message_files.h"
#include "platform/file/output_file.h"
#include "jobs/runs.h"
#include "jobs/store_access.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

// A file a restore reads as a backup file: one whose digest vouches for it, or one of a kind
// that cannot be read (its digest then fails).
bool ReadAsBackupFile(const std::u16string& path) {
  const FileFormat& format = FormatOf(InputKindOf(path));
  return !format.readable || !format.checkedBeforeRestore;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool KnownEnding(const std::string& out, CliStreams& io);
bool MayWrite(const std::string& out, bool force, CliStreams& io);

// The streams a command that writes `out` reports on: standard error for what it would say on
// standard output when `out` is standard output itself (`larkpost backup /dev/stdout | ...`).
CliStreams ReportsBeside(const std::string& out, const CliStreams& io) {
  return CliStreams{io.in, OwnDescriptorOf(out) == 1 ? io.err : io.out, io.err,
                    io.inputIsTerminal, io.errorIsTerminal};
}

// A command that writes to the store says so before it touches anything when the store cannot
// be written.
bool RefuseReadOnlyStore(const std::string& database, CliStreams& io) {
  if (!mapi::DatabaseIsReadOnly(database)) return false;
  io.err << "The message store " << PrintableLine(database) << " is read-only.\n";
  return true;
}

// The store of a run (jobs/store_access.h), with a hint on how to create a missing one.
bool StoreReady(const std::string& database, CliStreams& io) {
  if (StoreReadyForRun()) return true;
  HintMissingStore(database, io);
  return false;
}

int RunBackup(const std::string& database, const SelectionOptions& options,
              const std::string* path, bool syncEachRecord, bool force, CliStreams& given) {
  CliStreams io = ReportsBeside(path != nullptr ? *path : std::string(), given);
  int32_t flags[5] = {1, 1, 1, 1, 1};
  Selection selection;
  std::string error;
  if (!MakeSelection(options, selection, flags, error)) {
    io.err << "larkpost: " << error << "\n";
    return kExitUsage;
  }
  // Without PATH the default name; a PATH given blank is refused by the backup itself.
  const std::u16string target =
      path == nullptr ? DefaultBackupName(CTime::GetCurrentTime()) : PathToWide(*path);
  if (!KnownEnding(WideToPath(target), io)) return kExitUsage;
  // As every command that writes a file: an existing one is replaced on a yes or --force.
  if (!TrimWhiteSpace(target).empty() && !MayWrite(WideToPath(target), force, io)) {
    return kExitFailure;
  }

  TerminalUserInterface ui(io.in, io.out, io.err, io.inputIsTerminal, io.errorIsTerminal);
  ScopedUserInterface installed(ui);
  if (!StoreReady(database, io)) return kExitFailure;
  // A backup only reads the store: it works on a read-only file or mount.
  mapi::SetReadOnlyAccess(true);
  BackupJob job(target, flags[0], flags[1], flags[2], flags[3], flags[4]);
  job.selection = selection;
  if (!SessionReady(job.session)) return kExitFailure;
  job.syncEachRecord = syncEachRecord;
  ui.Follow(job.outcome);
  ScopedStopOnSignal stopOnSignal;
  StartBackup(job);
  const uint32_t multimedia = job.multimediaWritten;
  const uint32_t calls = job.callsWritten;
  if (job.outcome != RunOutcome::kFailed && (multimedia > 0 || calls > 0)) {
    io.out << "Written: " << WideToUtf8(EntryCountsText(job.written - multimedia - calls,
                                                        multimedia, calls)) << "\n";
    if (!job.callLog.empty()) io.out << "Calls written into " << PrintableLine(WideToPath(job.callLog)) << ".\n";
  }
  if (job.outcome != RunOutcome::kFailed && selection.LooksAtMessages()) {
    io.out << SelectedLine(job.written, job.written + job.leftOut) << "\n";
  }
  return ui.ExitStatus();
}

// True when the file at `path` passes a backup file's digest check.
bool IsValidBackupFile(const std::u16string& path) {
  try {
    CFile file(path, CFile::modeRead | CFile::shareDenyNone);
    return BackupRecords(file).valid();
  } catch (const CFileException&) {
    return true;  // not there or not readable: its own error said so
  }
}

struct RestoreOptions {
  bool confirmed = false;
  bool dryRun = false;
  bool json = false;
  bool storeChosen = false;  // --store was given: a missing store is an error, not created
};

int RunRestore(const std::string& database, const std::string& path,
               const RestoreOptions& options, const Selection& selection, CliStreams& io) {
  const std::u16string source = PathToWide(path);
  // With --json the standard output carries the JSON object alone; the messages go to stderr.
  TerminalUserInterface ui(io.in, options.json ? io.err : io.out, io.err, io.inputIsTerminal,
                           io.errorIsTerminal);
  ScopedUserInterface installed(ui);
  // Which store the messages go into, before anything is asked or done; on stderr, beside the
  // question, so standard output holds the results alone.
  if (!TrimWhiteSpace(source).empty()) io.err << "Message store: " << PrintableLine(database) << "\n";
  if (!options.dryRun && RefuseReadOnlyStore(database, io)) return kExitFailure;
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
  // On a new machine the first restore makes the default store, once the user said yes to
  // restoring; a store named with --store that is not there is a mistyped path.
  if (!options.dryRun && !options.storeChosen && !StoreFileExists(database)) {
    if (mapi::InitializeDatabase(database) != S_OK) {
      io.err << "larkpost: cannot create the message store " << PrintableLine(database) << "\n";
      return kExitFailure;
    }
    io.err << "Created the message store " << PrintableLine(database) << ".\n";
  }
  // A dry run only reads the store: like a backup, it works on a read-only file or mount.
  if (options.dryRun) mapi::SetReadOnlyAccess(true);
  if (!StoreReady(database, io)) return kExitFailure;
  RestoreJob job(source, options.dryRun);
  job.selection = selection;
  if (!SessionReady(job.session)) return kExitFailure;
  ui.Follow(job.outcome);
  ScopedStopOnSignal stopOnSignal;
  StartRestore(job);
  const int status = ui.ExitStatus();
  if (status == kExitFailure && ReadAsBackupFile(source) && !IsValidBackupFile(source)) {
    HintWrongFile(source, io);
  }
  // A restore that left out what the store cannot hold still tells what it did.
  if (status != kExitSuccess && job.outcome != RunOutcome::kLossy) return status;
  const RestoreCounts counts = job.Counts();
  if (options.json) {
    nlohmann::ordered_json summary;
    summary["restored"] = counts.restored;
    summary["restoredMultimedia"] = counts.restoredMultimedia;
    summary["restoredCalls"] = counts.restoredCalls;
    summary["alreadyPresent"] = counts.present;
    summary["alreadyPresentMultimedia"] = counts.presentMultimedia;
    summary["alreadyPresentCalls"] = counts.presentCalls;
    summary["byNumberFormat"] = counts.byNumberFormat;
    summary["sameWithRegion"] = counts.sameWithRegion;
    summary["foldersCreated"] = counts.foldersCreated;
    summary["dryRun"] = options.dryRun;
    AddLeftOutJson(summary, job.leftOutOfStore.multimedia, job.leftOutOfStore.calls);
    if (selection.Narrows()) {
      summary["selected"] = job.considered - job.leftOut;
      summary["read"] = job.considered;
    }
    io.out << summary.dump() << "\n";
  } else {
    io.out << WideToUtf8(RestoreSummaryLine(counts))
           << (options.dryRun ? " (dry run: the store was not changed)" : "") << "\n";
    if (selection.Narrows()) {
      io.out << SelectedLine(job.considered - job.leftOut, job.considered) << "\n";
    }
  }
  ReportNoRegion(counts.sameWithRegion, io);
  return status;
}

// Whether `path` names one of the store's files, by any name: the output layer refuses those
// with its own message, which must not be hidden behind the question of replacing a file.
bool IsStoreFile(const struct stat& target) {
  for (const std::string& name : MessageStoreFiles()) {
    struct stat store {};
    if (stat(name.c_str(), &store) == 0 && store.st_dev == target.st_dev &&
        store.st_ino == target.st_ino) {
      return true;
    }
  }
  return false;
}

// A command that writes OUT writes the kind its ending names: an ending the table does not know
// ("q.pdf", "out.TXT") is a usage error naming the known ones, rather than a backup file under a
// name that says otherwise.
bool KnownEnding(const std::string& out, CliStreams& io) {
  const std::u16string ending = EndingOf(PathToWide(out));
  if (IsKnownEnding(ending)) return true;
  std::u16string lower = ending;
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  io.err << "larkpost: " << PrintableLine(out) << ": ";
  if (lower == u".txt") {
    io.err << "use .txt for the text export";
  } else {
    io.err << "unknown ending \"" << PrintableLine(WideToPath(ending)) << "\"";
  }
  io.err << "; the endings written are";
  for (const FileFormat& format : FileFormats()) {
    if (format.endings[0] == nullptr) continue;  // told by what it holds, and never written
    io.err << (format.kind == FileFormats()[0].kind ? " " : ", ");
    for (const char16_t* known : format.endings) {
      if (known != nullptr) io.err << (known == format.endings[0] ? "" : " or ") << WideToUtf8(known);
    }
    if (format.kind == FileFormats()[0].kind) io.err << " or none";  // the default
    io.err << " (" << format.name << ")";
  }
  io.err << "\n";
  return false;
}

// A command that writes OUT never replaces an existing file silently: with --force it does, on a
// terminal it asks, otherwise it refuses. Only a regular file (or a link to one) is replaced; a
// pipe, a device or what the shell opened as /dev/stdout is written into, and a dangling link is
// refused by the output layer.
bool MayWrite(const std::string& out, bool force, CliStreams& io) {
  struct stat info {};
  if (force || OwnDescriptorOf(out) >= 0 || stat(out.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || IsStoreFile(info)) {
    return true;
  }
  if (io.inputIsTerminal) {
    io.err << PrintableLine(out) << " exists. Replace it? [y/N] " << std::flush;
    std::string answer;
    if (std::getline(io.in, answer) && (answer == "y" || answer == "Y" || answer == "yes")) {
      return true;
    }
  }
  io.err << PrintableLine(out) << " exists; use --force to replace it.\n";
  return false;
}

void AddOptionNames(const CLI::App& app, std::vector<std::string>& options) {
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) options.push_back("--" + name);
  }
}

// True when the option `name` ("--region", "-s") of the command, or of the program, takes a
// value: the argument after it is that value, however much it looks like a command.
bool TakesValue(const CLI::App& app, const CLI::App* command, const std::string& name) {
  const CLI::Option* option = command != nullptr ? command->get_option_no_throw(name) : nullptr;
  if (option == nullptr) option = app.get_option_no_throw(name);
  return option != nullptr && option->get_type_size_max() > 0;
}

// After a parse error: an unknown command, or an option unknown to the program and its command,
// is named with the nearest known one ("did you mean").
bool ReportUnknownName(const CLI::App& app, const std::vector<std::string>& args, CliStreams& io) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
  std::vector<std::string> options;
  AddOptionNames(app, options);
  auto report = [&io](const char* what, const std::string& name,
                      const std::vector<std::string>& known) {
    io.err << "Unknown " << what << " '" << PrintableLine(name) << "'.";
    const std::string near = NearestName(name, known);
    if (!near.empty()) io.err << " Did you mean '" << near << "'?";
    io.err << "\n";
    return true;
  };
  const CLI::App* command = nullptr;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (arg.rfind("--", 0) == 0) {
      const std::string name = arg.substr(0, arg.find('='));
      if (std::find(options.begin(), options.end(), name) == options.end()) {
        return report("option", name, options);
      }
      if (name.size() == arg.size() && TakesValue(app, command, name)) ++i;  // its value
      continue;
    }
    if (arg.rfind('-', 0) == 0) {
      if (arg.size() == 2 && TakesValue(app, command, arg)) ++i;  // "-s PATH"
      continue;
    }
    if (command != nullptr) {
      // The first word after a command with commands of its own (store list) is one of them.
      std::vector<std::string> nested;
      for (const CLI::App* sub : command->get_subcommands({})) nested.push_back(sub->get_name());
      if (nested.empty() || std::find(nested.begin(), nested.end(), arg) != nested.end()) break;
      return report("command", arg, nested);
    }
    if (std::find(commands.begin(), commands.end(), arg) == commands.end()) {
      return report("command", arg, commands);
    }
    command = app.get_subcommand(arg);
    AddOptionNames(*command, options);
    for (const CLI::App* sub : command->get_subcommands({})) AddOptionNames(*sub, options);
  }
  return false;
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
  app.set_version_flag("--version", std::string("larkpost ") + LARKPOST_VERSION);

  std::string database = mapi::DefaultDatabasePath();
  std::string codePage;
  app.add_option("--store", database, "message store database (default: " + database + ")");
  app.add_option("--codepage", codePage,
                 "Windows code page of the text in backup files (default 1252; 65001 keeps "
                 "every character); auto, for reading, tells it from the file's texts");
  std::string iosAttachments;
  std::string iosContacts;
  std::string iosPasswordFile;
  app.add_option("--attachments", iosAttachments,
                 "folder of the attachments of an iPhone's sms.db or a Mac's chat.db (default: "
                 "the Attachments folder beside the database)");
  app.add_option("--contacts", iosContacts,
                 "vCard file (.vcf) whose names name the parties the input leaves unnamed");
  app.add_option("--password-file", iosPasswordFile,
                 "file whose first line is the password of an encrypted iPhone backup (default: "
                 "asked on the terminal)");
  std::string region;
  app.add_option("--region", region,
                 "country of numbers written without a country code, e.g. DE (default: the "
                 "locale's)");

  // Every command that reads messages takes the same selection; only one command runs.
  SelectionOptions selectionOptions;
  std::string backupPath;
  CLI::App* backup = app.add_subcommand("backup", "write the store's messages into a file");
  std::string syncMode = "group";
  backup->add_option("--sync", syncMode,
                     "when records reach the disk: group (default: at most every 0.2 s and at "
                     "the end) or each (after every record)")
      ->check(CLI::IsMember({"group", "each"}));
  bool backupForce = false;
  backup->add_flag("--force,-f", backupForce, "replace PATH when it exists");
  backup->add_option("PATH", backupPath,
                     "output file; a name ending in .txt writes a plain-text export, .xml, .zip "
                     "or .html a phone's XML, a phone's ZIP or a page to read "
                     "(default: BAK_<yyyymmdd_hhmm>.bak here)");

  std::string restorePath;
  RestoreOptions restoreOptions;
  CLI::App* restore =
      app.add_subcommand("restore", "put the messages of a backup or phone file into the store");
  restore->add_flag("--yes,-y", restoreOptions.confirmed, "do not ask for confirmation");
  restore->add_flag("--dry-run", restoreOptions.dryRun,
                    "count what a restore would do without changing the store");
  restore->add_flag("--json", restoreOptions.json, "print the counts as one JSON object");
  restore->add_option("PATH", restorePath, "backup file (.bak), a phone's .xml or .zip, or iPhone messages (a backup folder, sms.db, chat.db)")
      ->required();

  std::string verifyPath;
  CLI::App* verify =
      app.add_subcommand("verify", "check a backup or phone file without touching a store");
  verify->add_option("PATH", verifyPath,
                     "backup file (.bak), a phone's .xml or .zip, or iPhone messages (a backup "
                     "folder, sms.db, chat.db)")
      ->required();
  bool verifyJson = false;
  verify->add_flag("--json", verifyJson, "print the counts as one JSON object");

  std::string showPath;
  bool json = false;
  CLI::App* show =
      app.add_subcommand("show", "list the messages of a backup file or a phone's XML or ZIP, "
                                 "or of iPhone messages");
  show->add_option("PATH", showPath,
                   "backup file (.bak), a phone's .xml or .zip, or iPhone messages (a backup "
                   "folder, sms.db, chat.db)")
      ->required();
  show->add_flag("--json", json, "one JSON object per message and line");

  std::string salvageDamaged, salvageOut, salvageDeletedAs = "direction";
  CLI::App* salvage = app.add_subcommand(
      "salvage", "copy the whole messages of a damaged or cut-off file into a new, valid one");
  salvage->add_option("DAMAGED", salvageDamaged, "damaged file: .bak, .xml or .zip")->required();
  salvage->add_option("OUT", salvageOut, "file to write: .bak, .xml, .zip or .html")->required();
  bool salvageForce = false;
  salvage->add_flag("--force,-f", salvageForce, "replace OUT when it exists");
  salvage->add_option("--deleted-as", salvageDeletedAs,
                      "what deleted messages become on a phone: direction (default), received or "
                      "sent");

  std::string convertIn, convertOut, deletedAs = "direction";
  CLI::App* convert = app.add_subcommand(
      "convert", "convert the messages of one file into another, without a store");
  convert->add_option("IN", convertIn,
                      "file to read: .bak, .xml, .zip, a .json call log or iPhone messages")
      ->required();
  convert->add_option("OUT", convertOut, "file to write: .bak, .xml, .zip, .html or .json")
      ->required();
  bool convertForce = false;
  convert->add_flag("--force,-f", convertForce, "replace OUT when it exists");
  bool convertJson = false;
  convert->add_flag("--json", convertJson, "print the counts as one JSON object");
  convert->add_option("--deleted-as", deletedAs,
                      "what deleted messages become on a phone: direction (default: sent when "
                      "they have recipients, else received), received or sent");

  MergeOptions mergeOptions;
  CLI::App* merge = AddMergeCommand(app, mergeOptions);

  // Encrypted files (age): every command that writes a file can encrypt it, every command that
  // reads one can decrypt it.
  EncryptionOptions encryption;
  AddEncryptOptions(*backup, encryption, false);
  for (CLI::App* command : {convert, salvage, merge}) AddEncryptOptions(*command, encryption, true);
  for (CLI::App* command : {restore, verify, show}) AddDecryptOptions(*command, encryption);
  std::string keygenFile;
  CLI::App* keygen = AddKeygenCommand(app, keygenFile);

  for (CLI::App* command : {backup, restore, verify, show, convert, merge}) {
    AddSelectionOptions(*command, selectionOptions);
  }

  CLI::App* store = app.add_subcommand("store", "create, list, dump or load a message store");
  store->require_subcommand(1);
  store->add_subcommand("init", "create the store file when it does not exist");
  store->add_subcommand("list", "folders with their message counts");
  DedupeOptions dedupeOptions;
  CLI::App* dedupe = AddDedupeCommand(*store, dedupeOptions);
  // A command's --help names the program's options too, which it takes before or after it.
  const std::string global =
      "Options of the program, before or after the command:\n"
      "  --store DB        message store database (default: " + database + ")\n"
      "  --codepage N      Windows code page of backup file texts (auto: tell it from the file)\n"
      "  --region CC       country of numbers written without a country code, e.g. DE";
  for (CLI::App* command : app.get_subcommands({})) {
    command->footer(global);
    for (CLI::App* nested : command->get_subcommands({})) nested->footer(global);
  }
  std::string dumpFile, loadFile;
  CLI::App* dump = store->add_subcommand("dump", "write every message as NDJSON");
  dump->add_option("FILE", dumpFile, "output file (default: standard output)");
  AddEncryptOptions(*dump, encryption, false);
  CLI::App* load =
      store->add_subcommand("load", "add messages from NDJSON (creates the store when missing)");
  load->add_option("FILE", loadFile, "input file (default: standard input)");
  bool loadDuplicates = false;
  load->add_flag("--duplicates", loadDuplicates,
                 "add every message, also those the store holds already");
  AddDecryptOptions(*load, encryption);

  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0 && ReportUnknownName(app, args, io)) return kExitUsage;
    const int status = app.exit(e, io.out, io.err);
    return status == 0 ? kExitSuccess : kExitUsage;
  }

  const bool detectCodePage = codePage == "auto";
  if (app.count("--codepage") > 0 && !detectCodePage) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(codePage.c_str(), &end, 10);
    if (codePage.empty() || *end != '\0' || number > 0xFFFF ||
        !SetAnsiCodePage(static_cast<unsigned>(number))) {
      io.err << "larkpost: --codepage: no converter for code page " << PrintableLine(codePage)
             << "\n";
      return kExitUsage;
    }
  }
  // The file a reading command reads: with --codepage auto its texts choose the code page;
  // otherwise verify and show say when they look like another one. Writing keeps the default.
  const std::string* readPath = *verify ? &verifyPath : *show ? &showPath
                                : *restore ? &restorePath : *convert ? &convertIn
                                : *salvage ? &salvageDamaged : nullptr;
  if (*keygen) return RunKeygen(keygenFile, io);
  EncryptionScope encryptionScope(encryption);
  // Encrypted inputs are decrypted into memory and checked whole before anything reads them.
  std::vector<std::string> inputs = *merge ? mergeOptions.ins : std::vector<std::string>();
  if (readPath != nullptr) inputs.push_back(*readPath);
  if (*load && !loadFile.empty()) inputs.push_back(loadFile);
  if (const std::optional<int> failed = PrepareInputs(inputs, encryption, io, static_cast<bool>(*salvage))) {
    return *failed;
  }
  bool backupNamed = backup->count("PATH") > 0;
  if (*backup && !backupNamed &&
      (!encryption.recipients.empty() || !encryption.recipientsFiles.empty() ||
       encryption.passphrase || !encryption.passphraseFile.empty())) {
    backupPath = WideToUtf8(DefaultBackupName(CTime::GetCurrentTime())) + ".age";
    backupNamed = true;
  }
  const std::string* writePath = *backup && backupNamed ? &backupPath
                                 : *convert ? &convertOut : *salvage ? &salvageOut
                                 : *merge ? &mergeOptions.out : *dump ? &dumpFile : nullptr;
  if (writePath != nullptr) {
    if (const std::optional<int> refused =
            PrepareOutput(*writePath, *backup || *dump, encryption, io)) {
      return *refused;
    }
  }
  // The files whose texts a command reads: with --codepage auto they choose the code page; at
  // the default, a command that makes messages or files of them first makes sure they read
  // right in it, since what it would make of them otherwise is garbled for good.
  std::vector<std::string> textInputs = *merge ? mergeOptions.ins : std::vector<std::string>();
  if (readPath != nullptr) textInputs.push_back(*readPath);
  if (detectCodePage) {
    if (!UseDetectedCodePage(textInputs, io)) return kExitFailure;
  } else if (app.count("--codepage") == 0 && (*restore || *convert || *merge || *salvage) &&
             !RefuseOtherCodePage(textInputs, io)) {
    return kExitFailure;
  }
  SetIosInputOptions(IosInputOptions{Utf8ToWide(iosAttachments), Utf8ToWide(iosContacts),
                                     Utf8ToWide(iosPasswordFile), AskBackupPassword});
  mapi::SetDatabasePath(database);
  mapi::SetReadOnlyAccess(false);  // the commands that only read set it below
  if (!ApplyRegion(region, app.count("--region") > 0, io)) return kExitUsage;

  if (*backup) {
    return RunBackup(database, selectionOptions, backupNamed ? &backupPath : nullptr,
                     syncMode == "each", backupForce, io);
  }
  Selection selection;
  int32_t flags[5];
  std::string selectionError;
  if (!MakeSelection(selectionOptions, selection, flags, selectionError)) {
    io.err << "larkpost: " << selectionError << "\n";
    return kExitUsage;
  }
  // An encrypted iPhone backup asks for its password here, before any run starts a thread.
  if (readPath != nullptr) {
    if (const std::string locked = UnlockIosInput(PathToWide(*readPath)); !locked.empty()) {
      io.err << PrintableLine(locked) << "\n";
      return kExitFailure;
    }
  }
  if (*restore) {
    restoreOptions.storeChosen = app.count("--store") > 0;
    return RunRestore(database, restorePath, restoreOptions, selection, io);
  }
  if (*verify) {
    const std::u16string path = PathToWide(verifyPath);
    const int status = VerifyFile(path, verifyJson, selection, io);
    if (!detectCodePage) HintOtherCodePage(verifyPath, io);
    return status;
  }
  if (*show) {
    const std::u16string path = PathToWide(showPath);
    const int status = ShowFile(path, json, selection, io);
    if (!detectCodePage) HintOtherCodePage(showPath, io);
    return status;
  }
  if (*salvage) {
    DeletedAs as = DeletedAs::kByDirection;
    if (!ParseDeletedAs(salvageDeletedAs, as)) {
      io.err << "larkpost: --deleted-as: \"" << salvageDeletedAs
             << "\" is not one of direction, received, sent\n";
      return kExitUsage;
    }
    if (!KnownEnding(salvageOut, io)) return kExitUsage;
    if (!MayWrite(salvageOut, salvageForce, io)) return kExitFailure;
    ScopedStopOnSignal stopOnSignal;
    CliStreams reports = ReportsBeside(salvageOut, io);
    return RunSalvage(PathToWide(salvageDamaged), PathToWide(salvageOut), as, reports);
  }
  if (*convert) {
    DeletedAs as = DeletedAs::kByDirection;
    if (!ParseDeletedAs(deletedAs, as)) {
      io.err << "larkpost: --deleted-as: \"" << deletedAs
             << "\" is not one of direction, received, sent\n";
      return kExitUsage;
    }
    if (!KnownEnding(convertOut, io)) return kExitUsage;
    if (!MayWrite(convertOut, convertForce, io)) return kExitFailure;
    ScopedStopOnSignal stopOnSignal;
    CliStreams reports = ReportsBeside(convertOut, io);
    return ConvertFiles(PathToWide(convertIn), PathToWide(convertOut), as, selection,
                        convertJson, reports);
  }
  if (*merge) {
    if (!KnownEnding(mergeOptions.out, io)) return kExitUsage;
    if (!MayWrite(mergeOptions.out, mergeOptions.force, io)) return kExitFailure;
    ScopedStopOnSignal stopOnSignal;
    CliStreams reports = ReportsBeside(mergeOptions.out, io);
    return RunMerge(mergeOptions, selection, reports);
  }
  if (store->got_subcommand("init")) {
    if (RefuseReadOnlyStore(database, io)) return kExitFailure;
    return StoreInit(database, io);
  }
  // Listing, dumping and a dry run of dedupe only read the store.
  mapi::SetReadOnlyAccess(store->got_subcommand("list") || store->got_subcommand("dump") ||
                          (*dedupe && dedupeOptions.dryRun));
  if (store->got_subcommand("list")) return StoreList(database, io);
  if (store->got_subcommand("dump")) return StoreDump(database, dumpFile, io);
  if (store->got_subcommand("load")) {
    if (RefuseReadOnlyStore(database, io)) return kExitFailure;
    return StoreLoad(database, loadFile, loadDuplicates, io);
  }
  if (*dedupe) {
    if (!dedupeOptions.dryRun && RefuseReadOnlyStore(database, io)) return kExitFailure;
    return StoreDedupe(database, dedupeOptions, io);
  }
  return kExitUsage;
}

}  // namespace larkpost
