// An iPhone backup folder as iTunes, Finder or idevicebackup2 write it: Manifest.db lists every
// file as Files(fileID, domain, relativePath, flags, file), and the file lies at
// "<first two hex digits of fileID>/<fileID>" (backups before iOS 10: "<fileID>" in the folder
// itself), fileID being the SHA-1 of "<domain>-<relativePath>" in hex. The messages are
// HomeDomain "Library/SMS/sms.db", their attachments MediaDomain "Library/SMS/Attachments/...",
// the address book HomeDomain "Library/AddressBook/AddressBook.sqlitedb".
//
// The backup is only ever read: nothing is written into its folder.
#pragma once

#include <string>
#include <string_view>

namespace larkpost {

inline constexpr char kIosHomeDomain[] = "HomeDomain";
inline constexpr char kIosMediaDomain[] = "MediaDomain";
inline constexpr char kIosMessagesPath[] = "Library/SMS/sms.db";
inline constexpr char kIosAddressBookPath[] = "Library/AddressBook/AddressBook.sqlitedb";

// The fileID of a file: the SHA-1 of "<domain>-<relativePath>", 40 lowercase hex digits.
std::string IosFileId(std::string_view domain, std::string_view relativePath);

// The backup folder `path` names: the folder itself when it holds Manifest.db (or, before
// iOS 10, Manifest.mbdb), else its one subfolder that does; empty when there is none, or more
// than one (which backup to read is then the user's choice).
std::string IosBackupRoot(const std::string& path);

// Where the file of `domain` and `relativePath` lies in the backup at `root`; empty when the
// backup does not hold it.
std::string IosBackupFile(const std::string& root, std::string_view domain,
                          std::string_view relativePath);
// The same for a file named by its fileID (as Manifest.db lists it).
std::string IosBackupFileById(const std::string& root, const std::string& id);

// The path of an attachment below "Library/SMS/" or "Library/Messages/" as `attachment.filename`
// names it ("~/Library/SMS/Attachments/ab/12/GUID/IMG_1.HEIC" -> "Attachments/ab/12/GUID/
// IMG_1.HEIC"); the name without a leading "~/" or "/" when it names neither folder; empty for a
// name with a ".." component, which could lead out of the folder it is looked for in.
std::string AttachmentBelowLibrary(std::string_view filename);

}  // namespace larkpost
