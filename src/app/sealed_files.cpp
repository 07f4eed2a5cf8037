#include "app/sealed_files.h"

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QString>

#include <memory>
#include <vector>

#include "app/progress_dialog.h"
#include "formats/age_file.h"
#include "formats/age_keys.h"
#include "formats/age_primitives.h"
#include "formats/age_view.h"
#include "formats/format_table.h"
#include "formats/ios_input.h"
#include "formats/phone_encrypted.h"
#include "platform/file/file.h"
#include "platform/file/memory_files.h"
#include "platform/framework/framework.h"

namespace larkpost::app {

namespace {

QString NameOf(const std::u16string& path) {
  return QFileInfo(QString::fromStdU16String(path)).fileName();
}

std::u16string Wide(const QString& text) { return text.toStdU16String(); }

// A key file's text; a key file is small, so a large file is refused before it is read.
std::string KeyFileText(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw age::AgeError(age::AgeError::Kind::kKey, QFileInfo(path).fileName().toStdString() +
                                                       " cannot be read: " +
                                                       file.errorString().toStdString());
  }
  if (file.size() > (1 << 20)) {
    throw age::AgeError(age::AgeError::Kind::kKey,
                        QFileInfo(path).fileName().toStdString() + " is too large for a key file");
  }
  return file.readAll().toStdString();
}

}  // namespace

SealedRun::~SealedRun() {
  if (encrypted_) age::EncryptOutput(*encrypted_, nullptr);
  if (private_) {
    ClearSubstitutes();
    SetScratchInMemory(false);
    SealScratch(nullptr);
  }
}

void SealedRun::KeepScratchPrivate() {
  private_ = true;
  SetScratchInMemory(true);
  SealScratch(age::NewScratchSealer());
}

SealedRun::Ready SealedRun::Refuse(const std::u16string& text) {
  AfxMessageBox(text, MB_OK | MB_ICONWARNING);
  return Ready::kRefused;
}

SealedRun::Ready SealedRun::OpenInput(const std::u16string& path) {
  const QString name = NameOf(path);
  // An encrypted iPhone backup: its password, asked once; the keys then serve the whole run.
  {
    bool declined = false;
    const IosInputOptions before = IosInputOptionsInUse();
    IosInputOptions asking = before;
    asking.askPassword = [&](std::string& password) {
      declined = ui_ == nullptr ||
                 !ui_->AskSecret(Wide("The iPhone backup " + name +
                                      " is encrypted. Type the password it was encrypted with:"),
                                 password);
      return !declined;
    };
    SetIosInputOptions(asking);
    const std::string locked = UnlockIosInput(path);
    SetIosInputOptions(before);
    if (declined) return Ready::kDeclined;
    if (!locked.empty()) {
      return Refuse(Wide(QString::fromStdString(locked) + "\nNothing was restored."));
    }
  }
  const bool phone = IsPhoneEncryptedFile(path);
  if (!phone && !age::IsAgeFile(path)) return Ready::kYes;
  if (ui_ == nullptr) return Ready::kDeclined;
  std::string secret;
  QString keyFile;
  const bool asked =
      phone ? ui_->AskKey(name + " is an encrypted export of SMS Import / Export. "
                                             "Type its passphrase:",
                                      "Passphrase", secret, nullptr)
            : ui_->AskKey(name + " is encrypted. Type its passphrase, or choose the "
                                             "key file (AGE-SECRET-KEY-1...) it was encrypted to:",
                                      "Passphrase", secret, &keyFile);
  if (!asked) return Ready::kDeclined;
  try {
    // Read through a decrypting view, checked whole first; scratch files stay private.
    if (phone) {
      SubstituteInput(path, DecryptPhoneExport(path, [&secret] { return secret; }));
    } else {
      age::Keys keys;
      if (!keyFile.isEmpty()) {
        keys.identities = age::ParseIdentityFile(KeyFileText(keyFile));
      } else {
        keys.passphrase = [&secret] { return secret; };
      }
      SubstituteInput(path, age::DecryptedView(path, keys, nullptr));
    }
    KeepScratchPrivate();
    return Ready::kYes;
  } catch (const age::AgeError& error) {
    QString why = QString::fromStdString(error.what());
    if (error.kind == age::AgeError::Kind::kNoMatch) {
      // The formats' texts name the command line's options; here the screen's own way.
      why = phone ? QString("wrong passphrase (or the file was modified)")
            : !keyFile.isEmpty()
                ? "the key file " + QFileInfo(keyFile).fileName() +
                      " does not open it (or it needs a passphrase)"
                : QString("wrong passphrase (or it needs a key file)");
    }
    return Refuse(Wide(name + ": " + why + ".\nNothing was restored."));
  } catch (const CFileException& error) {
    return Refuse(error.ErrorMessage() + u"\nNothing was restored.");
  }
}

SealedRun::Ready SealedRun::PrepareOutput(const std::u16string& path) {
  if (!IsAgeName(path)) return Ready::kYes;
  const QString name = NameOf(path);
  if (FormatOf(FileKindForPath(path)).companionFolder != nullptr) {
    return Refuse(Wide(name + ": a page is not encrypted: its pictures would lie beside it in "
                              "the clear. Encrypt a .zip or .bak file and make the page from it."));
  }
  if (ui_ == nullptr) return Ready::kDeclined;
  std::string typed;
  QString keyFile;
  if (!ui_->AskKey("Encrypt " + name + ": type a passphrase, or paste the recipient "
                               "(age1...) it is for, or choose a file of recipients:",
                               "Passphrase or recipient", typed, &keyFile)) {
    return Ready::kDeclined;
  }
  auto to = std::make_shared<age::Recipients>();
  try {
    if (!keyFile.isEmpty()) {
      to->x25519 = age::ParseRecipientsFile(KeyFileText(keyFile));
    } else if (QString::fromStdString(typed).startsWith("age1", Qt::CaseInsensitive)) {
      to->x25519.push_back(age::ParseRecipient(typed));
    } else {
      std::string again;
      if (!ui_->AskKey("Type the passphrase for " + name + " again:", "Passphrase",
                                   again, nullptr)) {
        return Ready::kDeclined;
      }
      if (again != typed) return Refuse(u"The two passphrases differ.\nNothing was written.");
      to->passphrase = typed;
    }
    age::EncryptOutput(path, to);
  } catch (const age::AgeError& error) {
    return Refuse(Wide(name + ": " + QString::fromStdString(error.what()) +
                       "\nNothing was written."));
  }
  encrypted_ = path;
  KeepScratchPrivate();
  return Ready::kYes;
}

}  // namespace larkpost::app
