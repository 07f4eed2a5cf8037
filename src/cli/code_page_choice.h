// The code page backup files are read with: --codepage auto tells it from the files' texts; at
// the default, a command that makes something of the texts (restore, convert, merge, salvage)
// refuses files that do not read right in it, and verify and show name the option to use.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace larkpost {

// For --codepage auto and the files `paths` (only backup files hold texts in a code page): sets
// the code page their texts are in and says so on io.err ("Code page: 936 (detected)"). False,
// after saying why, when backup files among them are in different code pages, which one run
// cannot read. A file that cannot be read is left to the command, which names the problem.
bool UseDetectedCodePage(const std::vector<std::string>& paths, CliStreams& io);

// At the default code page: false, after naming --codepage on io.err, when the texts of a backup
// file among `paths` look like another code page. Nothing has been read or written then.
bool RefuseOtherCodePage(const std::vector<std::string>& paths, CliStreams& io);

// When the texts of the backup file `path` look like another code page than the one in use,
// says so on io.err with the option to use.
void HintOtherCodePage(const std::string& path, CliStreams& io);

}  // namespace larkpost
