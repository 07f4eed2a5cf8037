#include "cli/encryption_options.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <istream>
#include <ostream>

#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "formats/age_file.h"
#include "formats/age_primitives.h"
#include "formats/age_view.h"
#include "formats/format_table.h"
#include "formats/phone_encrypted.h"
#include "platform/file/output_file.h"
#include "platform/file/file.h"
#include "platform/file/input_view.h"
#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

// A problem the user must fix; printed as one line.
struct Refusal {
  int status;
  std::string text;
};

std::string FileText(const std::string& path) {
  CFile file;
  CFileException error;
  if (!file.Open(Utf8ToWide(path), CFile::modeRead | CFile::shareDenyNone, &error)) {
    throw Refusal{kExitFailure, WideToUtf8(error.ErrorMessage())};
  }
  std::string text;
  char buffer[4096];
  while (const unsigned got = file.Read(buffer, sizeof buffer)) {
    text.append(buffer, got);
    if (text.size() > (1 << 20)) throw Refusal{kExitFailure, path + " is too large for a key file"};
  }
  return text;
}

// One line from the terminal, not echoed when it is one.
std::string AskHidden(const char* prompt, CliStreams& io) {
  io.err << prompt << std::flush;
  termios saved {};
  const bool hide = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (hide) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(io.in, line));
  if (hide) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    io.err << "\n";
  }
  if (!got) throw Refusal{kExitFailure, "no passphrase was given"};
  return line;
}

// The passphrase: from its file (first line), else asked on the terminal (twice to write).
std::string Passphrase(EncryptionOptions& options, bool twice, CliStreams& io) {
  if (options.asked) return *options.asked;
  std::string passphrase;
  if (!options.passphraseFile.empty()) {
    passphrase = FileText(options.passphraseFile);
    passphrase = passphrase.substr(0, passphrase.find('\n'));
    if (!passphrase.empty() && passphrase.back() == '\r') passphrase.pop_back();
  } else {
    if (!io.inputIsTerminal) {
      throw Refusal{kExitFailure,
                    "there is no terminal to ask the passphrase on (use --passphrase-file)"};
    }
    passphrase = AskHidden("Passphrase: ", io);
    if (twice && AskHidden("Passphrase again: ", io) != passphrase) {
      throw Refusal{kExitFailure, "the two passphrases differ; nothing was written"};
    }
  }
  if (passphrase.empty()) throw Refusal{kExitFailure, "the passphrase is empty"};
  options.asked = passphrase;
  return passphrase;
}

bool WantsPassphrase(const EncryptionOptions& options) {
  return options.passphrase || !options.passphraseFile.empty();
}

// In a command that also reads, a passphrase beside recipients is the inputs'.
std::shared_ptr<age::Recipients> RecipientsOf(EncryptionOptions& options, bool writeOnly,
                                              CliStreams& io) {
  auto to = std::make_shared<age::Recipients>();
  to->armor = options.armor;
  for (const std::string& text : options.recipients) to->x25519.push_back(age::ParseRecipient(text));
  for (const std::string& file : options.recipientsFiles) {
    try {
      for (std::string& key : age::ParseRecipientsFile(FileText(file))) {
        to->x25519.push_back(std::move(key));
      }
    } catch (const age::AgeError& error) {
      throw Refusal{kExitFailure, file + ": " + error.what()};
    }
  }
  if (!to->x25519.empty() && writeOnly && WantsPassphrase(options)) {
    throw Refusal{kExitUsage,
                  "a file is encrypted either to recipients or with a passphrase, not both"};
  }
  if (to->x25519.empty()) to->passphrase = Passphrase(options, true, io);
  return to;
}

// No plaintext of a run with encrypted files reaches the disk: its spools are sealed there, what
// is staged for a pipe stays in memory.
void KeepScratchPrivate() {
  SetScratchInMemory(true);
  SealScratch(age::NewScratchSealer());
}

std::optional<int> Report(const Refusal& refusal, CliStreams& io) {
  io.err << "larkpost: " << PrintableLine(refusal.text) << "\n";
  return refusal.status;
}

}  // namespace

void AddEncryptOptions(CLI::App& command, EncryptionOptions& options, bool reads) {
  command.add_option("--encrypt-to", options.recipients,
                     "encrypt OUT to this age recipient (age1…); repeatable")
      ->allow_extra_args(false);
  command.add_option("--recipients-file", options.recipientsFiles,
                     "encrypt OUT to the recipients listed in FILE; repeatable")
      ->allow_extra_args(false);
  command.add_flag("--passphrase", options.passphrase,
                   reads ? "a passphrase, asked on the terminal: for encrypted inputs, and for "
                           "OUT when it ends in .age"
                         : "encrypt OUT with a passphrase, asked twice on the terminal");
  command.add_option("--passphrase-file", options.passphraseFile,
                     "the passphrase is the first line of FILE");
  command.add_flag("--armor", options.armor, "write the encrypted OUT as PEM-like text");
  if (reads) {
    command.add_option("--identity", options.identityFiles,
                       "an age identity file (as age-keygen writes it) for encrypted inputs; "
                       "repeatable")
        ->allow_extra_args(false);
  }
}

void AddDecryptOptions(CLI::App& command, EncryptionOptions& options) {
  command.add_option("--identity", options.identityFiles,
                     "an age identity file (as age-keygen writes it) for an encrypted input; "
                     "repeatable")
      ->allow_extra_args(false);
  command.add_flag("--passphrase", options.passphrase,
                   "ask for the passphrase of an encrypted input on the terminal");
  command.add_option("--passphrase-file", options.passphraseFile,
                     "the passphrase of an encrypted input is the first line of FILE");
}

std::optional<int> PrepareOutput(const std::string& out, bool writeOnly,
                                 EncryptionOptions& options, CliStreams& io) {
  const std::u16string target = Utf8ToWide(out);
  const bool keyed = !options.recipients.empty() || !options.recipientsFiles.empty();
  const bool encrypt = keyed || IsAgeName(target) || (writeOnly && WantsPassphrase(options));
  try {
    if (!encrypt) {
      if (options.armor) throw Refusal{kExitUsage, "--armor is for an encrypted OUT only"};
      return std::nullopt;
    }
    if (!keyed && !WantsPassphrase(options)) {
      throw Refusal{kExitUsage, PrintableLine(out) +
                                    " is to be encrypted: give --encrypt-to, --recipients-file, "
                                    "--passphrase or --passphrase-file"};
    }
    if (out.empty()) {
      throw Refusal{kExitUsage, "an encrypted output needs a file name (standard output is not "
                                "encrypted)"};
    }
    if (FormatOf(FileKindForPath(target)).companionFolder != nullptr) {
      throw Refusal{kExitUsage,
                    "a page is not encrypted: its pictures would lie beside it in the clear; "
                    "encrypt a .zip or .bak and make the page when you read it"};
    }
    age::EncryptOutput(target, RecipientsOf(options, writeOnly, io));
    options.encryptedOut = target;
    KeepScratchPrivate();
  } catch (const Refusal& refusal) {
    return Report(refusal, io);
  } catch (const age::AgeError& error) {
    return Report(Refusal{kExitUsage, error.what()}, io);
  }
  return std::nullopt;
}

std::optional<int> PrepareInputs(const std::vector<std::string>& inputs,
                                 EncryptionOptions& options, CliStreams& io, bool salvage) {
  age::Keys keys;
  bool keysRead = false;
  for (const std::string& input : inputs) {
    const std::u16string path = Utf8ToWide(input);
    const bool phone = IsPhoneEncryptedFile(path);
    if (!phone && !age::IsAgeFile(path)) continue;
    try {
      if (!keysRead) {
        for (const std::string& file : options.identityFiles) {
          try {
            for (age::X25519Identity& identity : age::ParseIdentityFile(FileText(file))) {
              keys.identities.push_back(std::move(identity));
            }
          } catch (const age::AgeError& error) {
            throw Refusal{kExitFailure, file + ": " + error.what()};
          }
        }
        if (WantsPassphrase(options) || io.inputIsTerminal) {
          keys.passphrase = [&options, &io] { return Passphrase(options, false, io); };
        }
        keysRead = true;
      }
      if (phone) {
        if (!keys.passphrase) {
          throw Refusal{kExitFailure, input + " is an encrypted export of the phone app: it "
                                              "needs its passphrase (--passphrase-file)"};
        }
        SubstituteInput(path, DecryptPhoneExport(path, keys.passphrase));
      } else {
        std::string damage;
        SubstituteInput(path, age::DecryptedView(path, keys, salvage ? &damage : nullptr));
        if (!damage.empty()) {
          io.err << PrintableLine(input) << ": " << damage
                 << "; salvaging what came before the damage.\n";
        }
      }
      KeepScratchPrivate();
    } catch (const Refusal& refusal) {
      return Report(refusal, io);
    } catch (const age::AgeError& error) {
      return Report(Refusal{kExitFailure, input + ": " + error.what() + "; nothing was done"}, io);
    } catch (const CFileException& error) {
      return Report(Refusal{kExitFailure, WideToUtf8(error.ErrorMessage())}, io);
    }
  }
  return std::nullopt;
}

EncryptionScope::~EncryptionScope() {
  if (options_.encryptedOut) age::EncryptOutput(*options_.encryptedOut, nullptr);
  ClearSubstitutes();
  SetScratchInMemory(false);
  SealScratch(nullptr);
}

CLI::App* AddKeygenCommand(CLI::App& app, std::string& file) {
  CLI::App* keygen = app.add_subcommand(
      "keygen", "make an age identity for encrypted files and print its public key");
  keygen->add_option("-o,--output", file,
                     "identity file to create (mode 0600; never replaced); default: print it");
  return keygen;
}

int RunKeygen(const std::string& file, CliStreams& io) {
  const age::X25519Identity identity = age::GenerateIdentity();
  const std::string recipient = age::RecipientText(identity.publicKey);
  char created[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  const std::string text = std::string("# created: ") + created + "\n# public key: " + recipient +
                           "\n" + age::IdentityText(identity) + "\n";
  if (file.empty()) {
    io.out << text;
    return kExitSuccess;
  }
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int osError = errno;
    io.err << "larkpost: keygen: "
           << (osError == EEXIST ? PrintableLine(file) + " exists; it is never replaced"
                                 : WideToUtf8(CFileException(CFileException::CauseFromErrno(osError),
                                                             osError, Utf8ToWide(file))
                                                  .ErrorMessage()))
           << "\n";
    return kExitFailure;
  }
  fchmod(fd, 0600);  // whatever the umask
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       fsync(fd) == 0;
  const int osError = errno;
  close(fd);
  if (!written) {
    unlink(file.c_str());
    io.err << "larkpost: keygen: "
           << WideToUtf8(CFileException(CFileException::CauseFromErrno(osError), osError,
                                        Utf8ToWide(file))
                             .ErrorMessage())
           << "\n";
    return kExitFailure;
  }
  io.out << "Public key: " << recipient << "\n";
  return kExitSuccess;
}

}  // namespace larkpost
