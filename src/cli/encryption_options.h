// Encrypted files on the command line (the age format):
//
//   writing   --encrypt-to RECIPIENT (repeatable, age1…), --recipients-file FILE (repeatable),
//             --passphrase (asked twice on the terminal), --passphrase-file FILE, --armor
//   reading   --identity FILE (repeatable, as age-keygen writes it), --passphrase,
//             --passphrase-file FILE
//
// An OUT ending in ".age" must be given a recipient or passphrase; its format is the one its name
// has without ".age". In a command that only writes (backup, store dump) any of the writing
// options encrypts OUT; in one that also reads, a passphrase serves the inputs as well, and OUT
// is encrypted when it ends in ".age" or a recipient is given. A page (.html) is never encrypted:
// its pictures would lie beside it in the clear.
//
// An input is encrypted when its first bytes say so, whatever its name: an age file, or an
// encrypted export of the phone app "SMS Import / Export" (opened with the passphrase). It is
// read once and checked to its last byte before the command reads anything of it, then read
// through a view that decrypts what is asked for (formats/age_view.h), in bounded memory.
// Scratch spools of such a run are sealed on the disk under a key of the run
// (platform/file/memory_files.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace CLI {
class App;
}

namespace larkpost {

struct EncryptionOptions {
  std::vector<std::string> recipients;
  std::vector<std::string> recipientsFiles;
  bool passphrase = false;
  std::string passphraseFile;
  bool armor = false;
  std::vector<std::string> identityFiles;
  std::optional<std::string> asked;  // the passphrase once asked, for the rest of the run
  std::optional<std::u16string> encryptedOut;  // the output PrepareOutput arranged for
};

// The options of a command that writes a file; with `reads` also those of one that reads.
void AddEncryptOptions(CLI::App& command, EncryptionOptions& options, bool reads);
// The options of a command that only reads.
void AddDecryptOptions(CLI::App& command, EncryptionOptions& options);

// Arranges the encryption of `out` when the options or its name ask for it. `writeOnly`: the
// command reads no file. Prints the problem and returns the exit status when the options do not
// fit (kExitUsage) or a key or passphrase cannot be had (kExitFailure).
std::optional<int> PrepareOutput(const std::string& out, bool writeOnly,
                                 EncryptionOptions& options, CliStreams& io);
// Checks each of `inputs` that is encrypted and registers its decrypting view, where the
// command's readers find it.
// Prints one line and returns kExitFailure when one cannot be opened whole.
// With `salvage`, an encrypted file whose payload is cut short or damaged gives what its chunks
// held up to the fault (all of it authentic), and a line says so.
std::optional<int> PrepareInputs(const std::vector<std::string>& inputs,
                                 EncryptionOptions& options, CliStreams& io,
                                 bool salvage = false);

// Undoes what PrepareOutput and PrepareInputs arranged (the views of inputs, the output's
// encryption, scratch in memory) when the command is over.
class EncryptionScope {
 public:
  explicit EncryptionScope(EncryptionOptions& options) : options_(options) {}
  ~EncryptionScope();
  EncryptionScope(const EncryptionScope&) = delete;
  EncryptionScope& operator=(const EncryptionScope&) = delete;

 private:
  EncryptionOptions& options_;
};

// `larkpost keygen [-o FILE]`.
CLI::App* AddKeygenCommand(CLI::App& app, std::string& file);
// Writes a new identity to `file` (mode 0600, never over an existing file) and prints its
// public key; without a file, prints the identity.
int RunKeygen(const std::string& file, CliStreams& io);

}  // namespace larkpost
