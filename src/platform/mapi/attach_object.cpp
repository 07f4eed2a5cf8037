// IAttach and IStream: a message's attachments and their data.
//
// An attachment is a row of its own (message, number, properties). Its data lies in contents,
// shared: a stream written anew goes into a new content in chunks of kContentChunk bytes while
// its SHA-256 digest is taken, and at Commit the attachment points at the content that holds the
// same bytes, the new one only when there was none (the new chunks are then dropped). So the same
// picture in fifty messages is stored once, and no data is ever held whole in memory.
//
// Like a new message's recipients, a new message's attachments are written inside the
// transaction the message is made in: they come into sight with it, whole, or not at all.
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "platform/mapi/objects_internal.h"

namespace larkpost::mapi {

namespace {

constexpr size_t kContentChunk = size_t{256} << 10;

std::string LongBytes(int64_t value) {
  std::string bytes(4, '\0');
  const uint32_t v = static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX));
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return bytes;
}

// The attachment's stored properties and the size of its data (0 without data).
HRESULT AttachmentProps(Database& db, int64_t messageId, int64_t number, PropList* props) {
  Statement stmt = db.Prepare(
      "SELECT a.props, c.size FROM attachments a LEFT JOIN contents c ON c.id = a.content_id"
      " WHERE a.message_id = ?1 AND a.num = ?2");
  stmt.BindInt(1, messageId);
  stmt.BindInt(2, number);
  HRESULT hr = stmt.FirstRow();
  if (hr != S_OK) return hr;
  props->push_back(Prop{PR_ATTACH_NUM, LongBytes(number)});
  props->push_back(Prop{PR_ATTACH_SIZE, LongBytes(stmt.ColumnIsNull(1) ? 0 : stmt.ColumnInt(1))});
  PropList stored;
  if (!ParseProps(stmt.ColumnBytes(0), &stored)) return MAPI_E_CALL_FAILED;
  for (Prop& prop : stored) props->push_back(std::move(prop));
  return S_OK;
}

// Removes a content and its chunks.
HRESULT DeleteContent(Database& db, int64_t id) {
  Statement chunks = db.Prepare("DELETE FROM content_chunks WHERE content_id = ?1");
  chunks.BindInt(1, id);
  if (const HRESULT hr = chunks.Run(); hr != S_OK) return hr;
  Statement content = db.Prepare("DELETE FROM contents WHERE id = ?1");
  content.BindInt(1, id);
  return content.Run();
}

// Reads a content from the start, a chunk at a time.
class ContentReader final : public Counted<IStream> {
 public:
  ContentReader(std::shared_ptr<Database> db, int64_t contentId)
      : Counted(std::move(db)), contentId_(contentId) {}

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (auto fault = Enter(Operation::kStreamRead, read)) return *fault;
    if (read == nullptr || (buffer == nullptr && size > 0)) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    auto* out = static_cast<char*>(buffer);
    while (*read < size) {
      if (offset_ == chunk_.size()) {
        Statement stmt = db_->Prepare(
            "SELECT bytes FROM content_chunks WHERE content_id = ?1 AND seq = ?2");
        stmt.BindInt(1, contentId_);
        stmt.BindInt(2, next_);
        const HRESULT hr = stmt.FirstRow();
        if (hr == MAPI_E_NOT_FOUND) break;  // the end
        if (hr != S_OK) return hr;
        chunk_ = stmt.ColumnBlob(0);
        offset_ = 0;
        ++next_;
        if (chunk_.empty()) break;
      }
      const size_t take = std::min<size_t>(size - *read, chunk_.size() - offset_);
      std::memcpy(out + *read, chunk_.data() + offset_, take);
      offset_ += take;
      *read += static_cast<ULONG>(take);
    }
    return S_OK;
  }
  HRESULT Write(const void*, ULONG, ULONG* written) override {
    if (auto fault = Enter(Operation::kStreamWrite, written)) return *fault;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Commit(ULONG) override {
    if (auto fault = Enter(Operation::kStreamCommit)) return *fault;
    return S_OK;
  }

 private:
  int64_t contentId_;
  int64_t next_ = 0;
  std::string chunk_;
  size_t offset_ = 0;
};

// Writes an attachment's data anew (see the top of this file).
class ContentWriter final : public Counted<IStream> {
 public:
  ContentWriter(std::shared_ptr<Database> db, int64_t messageId, int64_t number)
      : Counted(std::move(db)), messageId_(messageId), number_(number) {
    EVP_DigestInit_ex(digest_, EVP_sha256(), nullptr);
    pending_.reserve(kContentChunk);
  }
  ~ContentWriter() override {
    EVP_MD_CTX_free(digest_);
    // Never committed: the chunks written so far belong to nobody.
    if (contentId_ != 0 && !committed_) {
      Lock lock(db_->mutex());
      DeleteContent(*db_, contentId_);
    }
  }

  HRESULT Read(void*, ULONG, ULONG* read) override {
    if (auto fault = Enter(Operation::kStreamRead, read)) return *fault;
    return MAPI_E_NO_SUPPORT;
  }

  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    if (auto fault = Enter(Operation::kStreamWrite, written)) return *fault;
    if ((buffer == nullptr && size > 0) || committed_ || digest_ == nullptr) {
      return MAPI_E_INVALID_PARAMETER;
    }
    Lock lock(db_->mutex());
    const auto* in = static_cast<const char*>(buffer);
    EVP_DigestUpdate(digest_, in, size);
    size_t done = 0;
    while (done < size) {
      const size_t take = std::min<size_t>(size - done, kContentChunk - pending_.size());
      pending_.append(in + done, take);
      done += take;
      if (pending_.size() == kContentChunk) {
        if (const HRESULT hr = FlushChunk(); hr != S_OK) return hr;
      }
    }
    size_ += size;
    if (written != nullptr) *written = size;
    return S_OK;
  }

  HRESULT Commit(ULONG) override {
    if (auto fault = Enter(Operation::kStreamCommit)) return *fault;
    if (committed_) return S_OK;
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    if (!pending_.empty()) {
      if (const HRESULT hr = FlushChunk(); hr != S_OK) return hr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_DigestFinal_ex(digest_, digest, &digestSize) != 1) return MAPI_E_CALL_FAILED;
    const std::string digestBytes(reinterpret_cast<const char*>(digest), digestSize);
    int64_t contentId = 0;
    {
      Statement find = db_->Prepare("SELECT id FROM contents WHERE digest = ?1");
      find.BindBlob(1, digestBytes);
      const HRESULT hr = find.FirstRow();
      if (hr == S_OK) {
        contentId = find.ColumnInt(0);
      } else if (hr != MAPI_E_NOT_FOUND) {
        return hr;
      }
    }
    if (contentId != 0) {
      // The same bytes are stored already: the new chunks go.
      if (contentId_ != 0) {
        if (const HRESULT hr = DeleteContent(*db_, contentId_); hr != S_OK) return hr;
      }
    } else {
      if (contentId_ == 0) {
        if (const HRESULT hr = NewContent(); hr != S_OK) return hr;
      }
      Statement seal = db_->Prepare("UPDATE contents SET digest = ?1, size = ?2 WHERE id = ?3");
      seal.BindBlob(1, digestBytes);
      seal.BindInt(2, static_cast<int64_t>(size_));
      seal.BindInt(3, contentId_);
      if (const HRESULT hr = seal.Run(); hr != S_OK) return hr;
      contentId = contentId_;
    }
    int64_t previous = 0;
    {
      Statement old = db_->Prepare(
          "SELECT coalesce(content_id, 0) FROM attachments WHERE message_id = ?1 AND num = ?2");
      old.BindInt(1, messageId_);
      old.BindInt(2, number_);
      if (const HRESULT hr = old.FirstRow(); hr != S_OK) return hr;
      previous = old.ColumnInt(0);
    }
    {
      Statement point = db_->Prepare(
          "UPDATE attachments SET content_id = ?1 WHERE message_id = ?2 AND num = ?3");
      point.BindInt(1, contentId);
      point.BindInt(2, messageId_);
      point.BindInt(3, number_);
      if (const HRESULT hr = point.Run(); hr != S_OK) return hr;
    }
    if (previous != 0 && previous != contentId) {
      if (const HRESULT hr = DropContentIfUnused(*db_, previous); hr != S_OK) return hr;
    }
    if (const HRESULT hr = transaction.Commit(); hr != S_OK) return hr;
    committed_ = true;
    return S_OK;
  }

 private:
  HRESULT NewContent() {
    Statement insert = db_->Prepare("INSERT INTO contents(digest, size) VALUES(NULL, 0)");
    if (const HRESULT hr = insert.Run(); hr != S_OK) return hr;
    contentId_ = sqlite3_last_insert_rowid(db_->handle());
    return S_OK;
  }

  HRESULT FlushChunk() {
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    if (contentId_ == 0) {
      if (const HRESULT hr = NewContent(); hr != S_OK) return hr;
    }
    Statement insert =
        db_->Prepare("INSERT INTO content_chunks(content_id, seq, bytes) VALUES(?1, ?2, ?3)");
    insert.BindInt(1, contentId_);
    insert.BindInt(2, chunks_);
    insert.BindBlob(3, pending_);
    if (const HRESULT hr = insert.Run(); hr != S_OK) return hr;
    if (const HRESULT hr = transaction.Commit(); hr != S_OK) return hr;
    ++chunks_;
    pending_.clear();
    return S_OK;
  }


  int64_t messageId_;
  int64_t number_;
  EVP_MD_CTX* digest_ = EVP_MD_CTX_new();
  std::string pending_;
  int64_t contentId_ = 0;  // the new content, once a chunk was written
  int64_t chunks_ = 0;
  uint64_t size_ = 0;
  bool committed_ = false;
};

class Attach final : public Counted<IAttach> {
 public:
  Attach(std::shared_ptr<Database> db, int64_t messageId, int64_t number)
      : Counted(std::move(db)), messageId_(messageId), number_(number) {}

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, Operation::kAttachGetProps, tags, count, values,
                          [this](PropList* props) {
                            return AttachmentProps(*db_, messageId_, number_, props);
                          });
  }

  HRESULT SetProps(ULONG count, const SPropValue* values, SPropProblemArray** problems) override {
    if (auto fault = Enter(Operation::kAttachSetProps, problems)) return *fault;
    PropList changes;
    HRESULT hr = Encode(count, values, &changes, nullptr);
    if (hr != S_OK) return hr;
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_, WriteTransaction::Changes::kOne);
    if (transaction.result() != S_OK) return transaction.result();
    PropList props;
    {
      Statement read =
          db_->Prepare("SELECT props FROM attachments WHERE message_id = ?1 AND num = ?2");
      read.BindInt(1, messageId_);
      read.BindInt(2, number_);
      if ((hr = read.FirstRow()) != S_OK) return hr;
      if (!ParseProps(read.ColumnBytes(0), &props)) return MAPI_E_CALL_FAILED;
    }
    for (Prop& change : changes) {
      // The number and size are the provider's.
      if (change.tag == PR_ATTACH_NUM || change.tag == PR_ATTACH_SIZE ||
          change.tag == PR_ATTACH_DATA_BIN) {
        continue;
      }
      PutProp(&props, change.tag, std::move(change.bytes));
    }
    const std::string blob = SerializeProps(props);
    Statement update =
        db_->Prepare("UPDATE attachments SET props = ?1 WHERE message_id = ?2 AND num = ?3");
    update.BindBlob(1, blob);
    update.BindInt(2, messageId_);
    update.BindInt(3, number_);
    if ((hr = update.Run()) != S_OK) return hr;
    return transaction.Commit();
  }

  HRESULT SaveChanges(ULONG) override {
    if (auto fault = Enter(Operation::kAttachSaveChanges)) return *fault;
    return S_OK;  // each call wrote its changes
  }

  HRESULT OpenProperty(ULONG tag, const IID*, ULONG, ULONG flags, IUnknown** object) override {
    if (auto fault = Enter(Operation::kAttachOpenProperty, object)) return *fault;
    if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (tag != PR_ATTACH_DATA_BIN) return MAPI_E_NO_SUPPORT;
    if ((flags & MAPI_CREATE) != 0) {
      *object = new ContentWriter(db_, messageId_, number_);
      return S_OK;
    }
    Lock lock(db_->mutex());
    Statement stmt = db_->Prepare(
        "SELECT content_id FROM attachments WHERE message_id = ?1 AND num = ?2"
        " AND content_id IS NOT NULL");
    stmt.BindInt(1, messageId_);
    stmt.BindInt(2, number_);
    const HRESULT hr = stmt.FirstRow();
    if (hr != S_OK) return hr;
    *object = new ContentReader(db_, stmt.ColumnInt(0));
    return S_OK;
  }

 private:
  int64_t messageId_;
  int64_t number_;
};

class AttachmentsTableSource final : public RowSource {
 public:
  explicit AttachmentsTableSource(int64_t messageId) : messageId_(messageId) {}
  HRESULT Fetch(Database& db, int64_t from, bool forward, int limit,
                const std::optional<std::string>&, std::vector<Row>* rows) override {
    Statement stmt = db.Prepare(
        forward ? "SELECT num FROM attachments WHERE message_id = ?1 AND num >= ?2"
                  " ORDER BY num LIMIT ?3"
                : "SELECT num FROM attachments WHERE message_id = ?1 AND num < ?2"
                  " ORDER BY num DESC LIMIT ?3");
    stmt.BindInt(1, messageId_);
    stmt.BindInt(2, from);
    stmt.BindInt(3, limit);
    std::vector<int64_t> numbers;
    for (;;) {
      const int rc = stmt.Step();
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
      numbers.push_back(stmt.ColumnInt(0));
    }
    for (int64_t number : numbers) {
      Row row{number, {}};
      if (const HRESULT hr = AttachmentProps(db, messageId_, number, &row.props); hr != S_OK) {
        return hr;
      }
      rows->push_back(std::move(row));
    }
    return S_OK;
  }
  HRESULT Count(Database& db, ULONG* count) override {
    int64_t value = 0;
    const HRESULT hr =
        LookupInt(db, "SELECT count(*) FROM attachments WHERE message_id = ?1", messageId_, &value);
    *count = static_cast<ULONG>(value);
    return hr;
  }
  std::vector<ULONG> DefaultColumns(const PropList& row) const override { return TagsOf(row); }

 private:
  int64_t messageId_;
};

}  // namespace

HRESULT DropContentIfUnused(Database& db, int64_t contentId) {
  int64_t any = 0;
  const HRESULT hr = LookupInt(db, "SELECT 1 FROM attachments WHERE content_id = ?1 LIMIT 1",
                               contentId, &any);
  if (hr == S_OK) return S_OK;
  if (hr != MAPI_E_NOT_FOUND) return hr;
  return DeleteContent(db, contentId);
}

HRESULT DeleteAttachments(Database& db, int64_t messageId) {
  std::vector<int64_t> contents;
  {
    Statement list = db.Prepare(
        "SELECT DISTINCT content_id FROM attachments WHERE message_id = ?1"
        " AND content_id IS NOT NULL");
    list.BindInt(1, messageId);
    for (;;) {
      const int rc = list.Step();
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
      contents.push_back(list.ColumnInt(0));
    }
  }
  Statement remove = db.Prepare("DELETE FROM attachments WHERE message_id = ?1");
  remove.BindInt(1, messageId);
  if (const HRESULT hr = remove.Run(); hr != S_OK) return hr;
  for (int64_t content : contents) {
    if (const HRESULT hr = DropContentIfUnused(db, content); hr != S_OK) return hr;
  }
  return S_OK;
}

IMAPITable* NewAttachmentTable(std::shared_ptr<Database> db, int64_t messageId) {
  return NewTable(std::move(db), std::make_unique<AttachmentsTableSource>(messageId));
}

IAttach* NewAttachObject(std::shared_ptr<Database> db, int64_t messageId, int64_t number) {
  return new Attach(std::move(db), messageId, number);
}

}  // namespace larkpost::mapi
