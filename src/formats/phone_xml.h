// The XML of the "SMS Backup & Restore" app:
//
//   <?xml version='1.0' encoding='UTF-8' standalone='yes' ?>
//   <smses count="2">
//     <sms protocol="0" address="+4915112345678" date="1704103626000" type="1" subject="null"
//          body="Hi &#10;there" toa="null" sc_toa="null" service_center="null" read="1"
//          status="-1" locked="0" date_sent="0" sub_id="-1" readable_date="Jan 1, 2024 11:07:06"
//          contact_name="Ann" />
//     <mms ...> parts and addresses </mms>
//   </smses>
//
// `date` and `date_sent` are milliseconds since 1970 UTC; `type` as in phone_entry.h; absent
// values are the literal "null". Reading is tolerant: unknown attributes are ignored, <mms>
// elements are counted and skipped, the app's surrogate-pair references are joined
// (xml_prefilter.h). Writing puts characters out as UTF-8 and only markup and line breaks as
// references.
#pragma once

#include <memory>
#include <string>

#include "formats/message_stream.h"

namespace larkpost {

// Reads the XML from `source` one <sms> element at a time. Errors name the entry ("sms entry 7
// (line 12): ...") or the place of malformed XML.
std::unique_ptr<EntrySource> XmlEntries(ByteSource source);

// Writes the XML into `file`, open for writing, empty and seekable (the root's count is filled in
// at Finish); the caller closes it. Throws CFileException.
std::unique_ptr<MessageWriter> XmlWriter(CFile& file, DeletedAs deletedAs);

}  // namespace larkpost
