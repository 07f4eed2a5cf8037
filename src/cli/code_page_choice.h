// The code page a backup file is read with: --codepage auto tells it from the file's texts, and
// a file read with an explicit or the default code page whose texts look like another gets a
// hint naming the option to use.
#pragma once

#include <string>

#include "cli/cli.h"

namespace larkpost {

// For --codepage auto and a backup file `path` (other kinds hold Unicode): sets the code page
// its texts are in and says so on io.err ("Code page: 936 (detected)"). A file that cannot be
// read is left to the command, which names the problem.
void UseDetectedCodePage(const std::string& path, CliStreams& io);

// When the texts of the backup file `path` look like another code page than the one in use,
// says so on io.err with the option to use.
void HintOtherCodePage(const std::string& path, CliStreams& io);

}  // namespace larkpost
