// Encrypted files in the desktop program's runs, with the keys asked on the password screen:
//
// - an encrypted input (an age file, or an encrypted export of the phone app "SMS Import /
//   Export", told by their first bytes whatever their name) is decrypted whole into memory and
//   checked to its last byte before the restore's question, where the run's readers then find
//   it; a wrong passphrase or key is one message box, and nothing is restored;
// - an encrypted iPhone backup is unlocked with its password before the run starts;
// - a backup into a name ending in ".age" ("messages.bak.age") is encrypted as it is written, to
//   the recipients typed (age1...) or listed in a file, or with a passphrase asked twice.
//
// The age format and the phone app's are the formats layer's (age_file.h, phone_encrypted.h);
// this only asks for the keys and says what went wrong. What a SealedRun arranges (the memory
// copies, the output's encryption, scratch files kept in memory) ends with it.
//
// Runs on the user-interface thread, before the run's worker starts.
#pragma once

#include <optional>
#include <string>

namespace larkpost::app {

class QtUserInterface;

class SealedRun {
 public:
  enum class Ready {
    kYes,       // go on with the run
    kDeclined,  // the user cancelled a password screen: nothing to say, nothing done
    kRefused,   // nothing done; the message box saying why was shown
  };

  explicit SealedRun(QtUserInterface* ui) : ui_(ui) {}
  ~SealedRun();
  SealedRun(const SealedRun&) = delete;
  SealedRun& operator=(const SealedRun&) = delete;

  // Makes `path`, the input of a restore, readable: decrypted into memory when it is an
  // encrypted file, unlocked when it is an encrypted iPhone backup.
  Ready OpenInput(const std::u16string& path);
  // Arranges the encryption of `path`, the file a backup writes, when its name ends in ".age".
  Ready PrepareOutput(const std::u16string& path);

 private:
  Ready Refuse(const std::u16string& text);

  QtUserInterface* ui_;
  // Scratch files of the run are sealed (no plaintext reaches the disk) until it ends.
  void KeepScratchPrivate();
  bool private_ = false;
  std::optional<std::u16string> encrypted_;
};

}  // namespace larkpost::app
