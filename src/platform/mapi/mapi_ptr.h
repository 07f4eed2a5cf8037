// Owners for what the messaging layer hands out: MapiPtr for a reference to an interface,
// RowSet for a row set, MapiBuffer for a block to free with MAPIFreeBuffer; and ForEachRow, which
// walks a table in batches. With them no early return can leak or forget to release.
#pragma once

#include <string_view>
#include <utility>

#include "platform/mapi/mapi.h"

namespace larkpost {

template <class T>
class MapiPtr {
 public:
  MapiPtr() = default;
  explicit MapiPtr(T* object) : object_(object) {}
  MapiPtr(const MapiPtr&) = delete;
  MapiPtr& operator=(const MapiPtr&) = delete;
  MapiPtr(MapiPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  MapiPtr& operator=(MapiPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  ~MapiPtr() { reset(); }

  // Releases the held reference (if any) and takes `object`.
  void reset(T* object = nullptr) {
    if (object_ != nullptr) object_->Release();
    object_ = object;
  }
  // Hands the reference to the caller without releasing it.
  T* release() { return std::exchange(object_, nullptr); }
  // For out-parameters: releases what is held and returns the slot to fill.
  T** put() {
    reset();
    return &object_;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// A wide text of the interface, or "" for null.
inline std::u16string_view TextOf(const char16_t* text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

// Owns a row set from IMAPITable::QueryRows and frees it with FreeProws.
class RowSet {
 public:
  RowSet() = default;
  RowSet(const RowSet&) = delete;
  RowSet& operator=(const RowSet&) = delete;
  ~RowSet() { FreeProws(rows_); }

  // For the out-parameter: frees what is held and returns the slot to fill.
  SRowSet** put() {
    FreeProws(std::exchange(rows_, nullptr));
    return &rows_;
  }
  SRowSet* get() const { return rows_; }
  ULONG size() const { return rows_ != nullptr ? rows_->cRows : 0; }
  const SRow& operator[](ULONG i) const { return rows_->aRow[i]; }

 private:
  SRowSet* rows_ = nullptr;
};

// Owns a block of the messaging layer's memory (GetProps values, MAPIAllocateBuffer) and frees it
// with MAPIFreeBuffer.
template <class T>
class MapiBuffer {
 public:
  MapiBuffer() = default;
  MapiBuffer(const MapiBuffer&) = delete;
  MapiBuffer& operator=(const MapiBuffer&) = delete;
  ~MapiBuffer() { MAPIFreeBuffer(block_); }

  // For the out-parameter: frees what is held and returns the slot to fill.
  T** put() {
    MAPIFreeBuffer(std::exchange(block_, nullptr));
    return &block_;
  }
  T* get() const { return block_; }
  T& operator[](size_t i) const { return block_[i]; }
  explicit operator bool() const { return block_ != nullptr; }

 private:
  T* block_ = nullptr;
};

// Reads `table` from its current position, `batchSize` rows per QueryRows call, and hands each row
// to `visit` (bool visit(const SRow&)) until it answers false or a fetch brings no row. A batch is
// freed before the next one is fetched. The failing fetch's result, else S_OK.
template <class Visit>
HRESULT ForEachRow(IMAPITable& table, LONG batchSize, Visit visit) {
  RowSet rows;
  for (;;) {
    const HRESULT hr = table.QueryRows(batchSize, 0, rows.put());
    if (hr < 0) return hr;
    if (rows.size() == 0) return S_OK;
    for (ULONG r = 0; r < rows.size(); ++r) {
      if (!visit(rows[r])) return S_OK;
    }
  }
}

}  // namespace larkpost
