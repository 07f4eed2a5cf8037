// The `merge` and `store dedupe` commands: their options on the command line and their runs.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"
#include "message/selection.h"

namespace CLI {
class App;
}

namespace larkpost {

struct MergeOptions {
  std::string out;
  std::vector<std::string> ins;
  std::string deletedAs = "direction";
  bool force = false;  // replace OUT when it exists
  bool json = false;   // the counts as one JSON object
};

// Adds `merge OUT IN...` to the program.
CLI::App* AddMergeCommand(CLI::App& app, MergeOptions& options);
// Merges the inputs into OUT and reports per input what it contributed.
int RunMerge(const MergeOptions& options, const Selection& selection, CliStreams& io);

struct DedupeOptions {
  bool dryRun = false;
  bool json = false;
  bool confirmed = false;  // --yes: remove without asking
};

// Adds `dedupe [--dry-run] [--yes] [--json]` to the store command. Removing asks first, as a
// restore does: on a terminal, or else --yes.
CLI::App* AddDedupeCommand(CLI::App& store, DedupeOptions& options);
// Removes the duplicates of the store and says how many per folder (with --json each removed
// message as a JSON line, then the counts as one).
int StoreDedupe(const std::string& database, const DedupeOptions& options, CliStreams& io);

// --region CC: the region of numbers written without a country code. Empty takes the one of the
// locale (LC_TELEPHONE, LANG). False with a usage message for a region libphonenumber lacks.
bool ApplyRegion(const std::string& region, bool given, CliStreams& io);

// With no region known, when `sameWithRegion` messages would have matched others with one (their
// numbers written with and without the country code): says so on io.err, once.
void ReportNoRegion(uint64_t sameWithRegion, CliStreams& io);

}  // namespace larkpost
