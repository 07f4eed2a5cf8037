// IMessage: a message row; its properties are one serialized list, its recipients rows of their
// own. A new message is out of sight until it is saved (database.h): by SaveChanges, by the
// commit of the transaction it was made in, or when its last reference is released; until then
// its properties are kept with the database's list of new messages.
#include <cstddef>

#include "platform/mapi/objects_internal.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

class Message final : public Counted<IMessage> {
 public:
  Message(std::shared_ptr<Database> db, int64_t id) : Counted(std::move(db)), id_(id) {}
  ~Message() override {
    // The system writes a new message and releases it without SaveChanges, as its handheld's
    // store keeps such a message: the release saves it. A failure here has no one to tell; a
    // writer that needs to know calls SaveChanges or commits a transaction around the message.
    Lock lock(db_->mutex());
    db_->ShowNewMessage(id_);
  }

  int64_t id() const { return id_; }

  HRESULT GetProps(const SPropTagArray* tags, ULONG, ULONG* count,
                   SPropValue** values) override {
    return AnswerGetProps(*db_, Operation::kMessageGetProps, tags, count, values,
                          [this](PropList* props) -> HRESULT {
      props->push_back(Prop{PR_ENTRYID, MakeEntryId(db_->uid(), MAPI_MESSAGE, id_)});
      PropList stored;
      HRESULT hr = ReadProps(&stored);
      if (hr != S_OK) return hr;
      for (Prop& prop : stored) props->push_back(std::move(prop));
      return S_OK;
    });
  }

  HRESULT SetProps(ULONG count, const SPropValue* values,
                   SPropProblemArray** problems) override {
    if (auto fault = Enter(Operation::kMessageSetProps, problems)) return *fault;
    PropList changes;
    std::vector<ULONG> computed;
    HRESULT hr = Encode(count, values, &changes, &computed);
    if (hr != S_OK) return hr;
    Lock lock(db_->mutex());
    if (PropList* waiting = db_->NewMessageProps(id_)) {
      // A new message's properties are written when it is saved.
      for (Prop& change : changes) PutProp(waiting, change.tag, std::move(change.bytes));
      if (problems != nullptr && !computed.empty()) *problems = ComputedProblems(computed, values);
      return S_OK;
    }
    // A read, then one UPDATE: inside an open transaction no savepoint is needed; on its own,
    // the transaction keeps another writer out between the two.
    WriteTransaction transaction(*db_, WriteTransaction::Changes::kOne);
    if (transaction.result() != S_OK) return transaction.result();
    PropList props;
    hr = ReadProps(&props);
    if (hr != S_OK) return hr;
    for (Prop& change : changes) PutProp(&props, change.tag, std::move(change.bytes));
    // The index column follows the delivery time, but only a PT_SYSTIME one.
    const Prop* time = FindProp(props, PR_MESSAGE_DELIVERY_TIME);
    std::string blob = SerializeProps(props);
    {
      Statement update =
          db_->Prepare("UPDATE messages SET props = ?1, delivery_time = ?2 WHERE id = ?3");
      update.BindBlob(1, blob);
      if (time != nullptr) {
        update.BindInt(2, TimeKey(time->bytes));
      } else {
        update.BindNull(2);
      }
      update.BindInt(3, id_);
      hr = update.Run();
      if (hr != S_OK) return hr;
    }
    hr = transaction.Commit();
    if (hr != S_OK) return hr;
    if (problems != nullptr && !computed.empty()) *problems = ComputedProblems(computed, values);
    return S_OK;
  }

  HRESULT SaveChanges(ULONG) override {
    if (auto fault = Enter(Operation::kMessageSaveChanges)) return *fault;
    // What SetProps and ModifyRecipients wrote is in the row already; a new message comes into
    // sight now, whole.
    Lock lock(db_->mutex());
    const HRESULT hr = db_->ShowNewMessage(id_);
    if (hr != S_OK) return hr;
    // One made in a transaction that was rolled back is gone with it.
    int64_t any = 0;
    return LookupInt(*db_, "SELECT 1 FROM messages WHERE id = ?1", id_, &any);
  }

  HRESULT GetRecipientTable(ULONG, IMAPITable** table) override {
    if (auto fault = Enter(Operation::kMessageGetRecipientTable, table)) return *fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    int64_t any = 0;
    HRESULT hr = LookupInt(*db_, "SELECT 1 FROM recipients WHERE message_id = ?1 LIMIT 1", id_,
                           &any);
    if (hr == MAPI_E_NOT_FOUND) return MAPI_E_NO_RECIPIENTS;
    if (hr != S_OK) return hr;
    *table = NewTable(db_, RecipientsSource(id_));
    return S_OK;
  }

  HRESULT ModifyRecipients(ULONG flags, const ADRLIST* recipients) override {
    if (auto fault = Enter(Operation::kMessageModifyRecipients)) return *fault;
    if (flags != MODRECIP_ADD) return MAPI_E_NO_SUPPORT;
    if (recipients == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<std::string> blobs;
    blobs.reserve(recipients->cEntries);
    for (ULONG i = 0; i < recipients->cEntries; ++i) {
      const ADRENTRY& entry = recipients->aEntries[i];
      PropList props;
      HRESULT hr = Encode(entry.cValues, entry.rgPropVals, &props, nullptr);
      if (hr != S_OK) return hr;
      blobs.push_back(SerializeProps(props));
    }
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_, blobs.size() > 1 ? WriteTransaction::Changes::kSeveral
                                                        : WriteTransaction::Changes::kOne);
    if (transaction.result() != S_OK) return transaction.result();
    int64_t last = 0;
    HRESULT hr = LookupInt(
        *db_, "SELECT coalesce(max(seq), 0) FROM recipients WHERE message_id = ?1", id_, &last);
    if (hr != S_OK) return hr;
    for (const std::string& blob : blobs) {
      Statement insert =
          db_->Prepare("INSERT INTO recipients(message_id, seq, props) VALUES(?1, ?2, ?3)");
      insert.BindInt(1, id_);
      insert.BindInt(2, ++last);
      insert.BindBlob(3, blob);
      hr = insert.Run();
      if (hr != S_OK) return hr;
    }
    return transaction.Commit();
  }

  HRESULT GetAttachmentTable(ULONG, IMAPITable** table) override {
    if (auto fault = Enter(Operation::kMessageGetAttachmentTable, table)) return *fault;
    if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
    *table = NewAttachmentTable(db_, id_);
    return S_OK;
  }

  HRESULT OpenAttach(ULONG number, const IID*, ULONG, IAttach** attachment) override {
    if (auto fault = Enter(Operation::kMessageOpenAttach, attachment)) return *fault;
    if (attachment == nullptr) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    Statement find = db_->Prepare("SELECT 1 FROM attachments WHERE message_id = ?1 AND num = ?2");
    find.BindInt(1, id_);
    find.BindInt(2, number);
    const HRESULT hr = find.FirstRow();
    if (hr != S_OK) return hr;
    *attachment = NewAttachObject(db_, id_, number);
    return S_OK;
  }

  HRESULT CreateAttach(const IID*, ULONG, ULONG* number, IAttach** attachment) override {
    if (auto fault = Enter(Operation::kMessageCreateAttach, number, attachment)) return *fault;
    if (attachment == nullptr) return MAPI_E_INVALID_PARAMETER;
    Lock lock(db_->mutex());
    WriteTransaction transaction(*db_);
    if (transaction.result() != S_OK) return transaction.result();
    int64_t next = 0;
    HRESULT hr = LookupInt(*db_, "SELECT coalesce(max(num) + 1, 0) FROM attachments"
                           " WHERE message_id = ?1", id_, &next);
    if (hr != S_OK) return hr;
    Statement insert = db_->Prepare(
        "INSERT INTO attachments(message_id, num, props, content_id) VALUES(?1, ?2, ?3, NULL)");
    insert.BindInt(1, id_);
    insert.BindInt(2, next);
    insert.BindBlob(3, std::string_view());
    if ((hr = insert.Run()) != S_OK) return hr;
    if ((hr = transaction.Commit()) != S_OK) return hr;
    if (number != nullptr) *number = static_cast<ULONG>(next);
    *attachment = NewAttachObject(db_, id_, next);
    return S_OK;
  }

 private:
  HRESULT ReadProps(PropList* props) {
    if (const PropList* waiting = db_->NewMessageProps(id_)) {
      *props = *waiting;
      return S_OK;
    }
    Statement stmt = db_->Prepare("SELECT props FROM messages WHERE id = ?1");
    stmt.BindInt(1, id_);
    HRESULT hr = stmt.FirstRow();
    if (hr != S_OK) return hr;
    if (!ParseProps(stmt.ColumnBlob(0), props)) return MAPI_E_CALL_FAILED;
    return S_OK;
  }

  // The problem array SetProps hands back for the values it did not write (the provider's own
  // PR_ENTRYID); null when out of memory.
  static SPropProblemArray* ComputedProblems(const std::vector<ULONG>& computed,
                                             const SPropValue* values) {
    size_t size = offsetof(SPropProblemArray, aProblem) + computed.size() * sizeof(SPropProblem);
    auto* array = static_cast<SPropProblemArray*>(AllocateBlock(size));
    if (array == nullptr) return nullptr;
    array->cProblem = static_cast<ULONG>(computed.size());
    for (size_t i = 0; i < computed.size(); ++i) {
      array->aProblem[i] = SPropProblem{computed[i], values[computed[i]].ulPropTag,
                                        MAPI_E_COMPUTED};
    }
    return array;
  }

  int64_t id_;
};

}  // namespace

IMessage* NewMessageObject(std::shared_ptr<Database> db, int64_t id) {
  return new Message(std::move(db), id);
}

HRESULT MessagePosition(IMessage* message, int64_t* position) {
  auto* ours = dynamic_cast<Message*>(message);
  if (ours == nullptr || position == nullptr) return MAPI_E_INVALID_PARAMETER;
  *position = ours->id();
  return S_OK;
}

}  // namespace larkpost::mapi
