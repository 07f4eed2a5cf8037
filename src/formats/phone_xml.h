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
// An <mms> element holds <parts><part seq ct name chset cd fn cid cl ctt_s ctt_t text data/>...
// </parts> and <addrs><addr address type charset/>...</addrs>; its own attributes are Android's
// mms columns (msg_box, m_type, sub, ct_t, m_id, ...) with `date` in milliseconds, `address` the
// other parties joined by "~" and `contact_name` their names joined by ", ". A part's `data` is
// the base64 of its bytes, decoded into the reader's PartSpool as it streams past and written
// from the part's bytes a block at a time: an attachment of any size costs no more memory than
// a small one. Every attribute of an <mms> or <part> that no field takes is kept under
// Multimedia::extras, in order, and written back; `address`, `contact_name` and `readable_date`
// are made from the fields. <call> entries (the app's call log) are
// read as calls (phone_calls.h), under <smses> or the call log's own root <calls>.
//
// `date` and `date_sent` of an <sms> are milliseconds since 1970 UTC; `type` as in
// phone_entry.h; absent values are the literal "null". Reading is tolerant: unknown attributes
// of an <sms> are ignored, the app's surrogate-pair references are joined (xml_prefilter.h).
// Writing puts characters out as UTF-8 and only markup and line breaks as references.
#pragma once

#include <memory>
#include <string>

#include "formats/message_stream.h"
#include "formats/part_spool.h"

namespace larkpost {

class ByteSink;  // platform/file/byte_sink.h

// Reads the XML from `source` one <sms> or <mms> element at a time, decoding attachments into
// `spool` (null: only their sizes are counted). Errors name the entry ("sms entry 7 (line 12):
// ...", "the file is cut off at line 120, inside mms entry 51 (from line 100) ...") or the place
// of malformed XML.
std::unique_ptr<EntrySource> XmlEntries(ByteSource source,
                                        std::shared_ptr<PartSpool> spool = nullptr);

// Writes the XML into `sink` (the root's count is patched in at Finish, which closes the sink).
// Throws CFileException.
std::unique_ptr<MessageWriter> XmlWriter(ByteSink& sink, DeletedAs deletedAs);

}  // namespace larkpost
