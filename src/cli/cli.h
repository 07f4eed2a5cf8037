// The larkpost command line: parsing, and the commands that run the jobs or look at files and
// stores. Only this layer prints, asks and decides the exit status.
//
//   larkpost [--store DB] [--codepage N] backup [--folders LIST] [PATH]
//   larkpost [--store DB] [--codepage N] restore [--yes] [--dry-run] [--json] PATH
//   larkpost [--codepage N] verify PATH [--json]
//   larkpost [--codepage N] show PATH [--json]
//   larkpost [--codepage N] salvage [--deleted-as direction|received|sent] DAMAGED OUT
//   larkpost [--codepage N] convert [--deleted-as direction|received|sent] [--json] IN OUT
//   larkpost [--store DB] store init|list|dump [FILE]|load [FILE]
//   larkpost keygen [-o FILE]
// Commands that write a file can encrypt it, commands that read one decrypt it (age format):
// cli/encryption_options.h.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "jobs/job_records.h"
#include "jobs/targets.h"
#include "platform/time/filetime.h"

namespace larkpost {

struct CliStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool inputIsTerminal = false;  // questions can be asked on `in`
  bool errorIsTerminal = false;  // a progress bar may be drawn on `err`
};

// Runs one command line (arguments without the program name) and returns the exit status
// (terminal_ui.h: 0 success, 1 failure or refusal, 2 bad arguments, 3 incomplete backup or
// salvage).
int RunCli(const std::vector<std::string>& args, CliStreams io);

// The five folder flags (FolderKind order) from a comma-separated list of draft, inbox, outbox,
// sent and deleted, in any letter case. False with a description of the bad item.
bool ParseFolderList(const std::string& list, int32_t (&flags)[5], std::string& error);

}  // namespace larkpost
