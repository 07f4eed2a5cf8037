// The interface's memory: blocks from MAPIAllocateBuffer carry a header that chains the blocks
// allocated onto them with MAPIAllocateMore, so that one MAPIFreeBuffer releases the lot.
#include <cstdlib>
#include <cstddef>

#include "platform/mapi/database.h"
#include "platform/mapi/mapi.h"
#include "platform/mapi/operations.h"
#include "platform/mapi/props.h"

namespace {

constexpr uint64_t kRootMagic = 0x4C4B50524F4F5421ULL;   // a block of its own
constexpr uint64_t kChildMagic = 0x4C4B504348494C44ULL;  // freed with its parent
constexpr uint64_t kFreedMagic = 0x4C4B504652454544ULL;

struct alignas(std::max_align_t) BlockHeader {
  uint64_t magic;
  BlockHeader* root;       // the block that frees this one (itself for a root)
  BlockHeader* nextChild;  // on a root: the most recent child; on a child: the one before it
};

BlockHeader* HeaderOf(void* buffer) { return static_cast<BlockHeader*>(buffer) - 1; }

void* NewBlock(size_t size, BlockHeader* root) {
  if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (header == nullptr) return nullptr;
  if (root == nullptr) {
    *header = BlockHeader{kRootMagic, header, nullptr};
  } else {
    *header = BlockHeader{kChildMagic, root, root->nextChild};
    root->nextChild = header;
  }
  return header + 1;
}

}  // namespace

namespace larkpost::mapi {
void* AllocateBlock(size_t size) { return NewBlock(size, nullptr); }
}  // namespace larkpost::mapi

HRESULT MAPIAllocateBuffer(ULONG size, void** buffer) {
  if (buffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *buffer = nullptr;
  using larkpost::mapi::Operation;
  if (auto fault = larkpost::mapi::FaultFor(Operation::kAllocateBuffer)) return *fault;
  *buffer = NewBlock(size, nullptr);
  return *buffer != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

HRESULT MAPIAllocateMore(ULONG size, void* parent, void** buffer) {
  if (buffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *buffer = nullptr;
  using larkpost::mapi::Operation;
  if (auto fault = larkpost::mapi::FaultFor(Operation::kAllocateMore)) return *fault;
  if (parent == nullptr) return MAPI_E_INVALID_PARAMETER;
  BlockHeader* header = HeaderOf(parent);
  if (header->magic != kRootMagic && header->magic != kChildMagic) {
    return MAPI_E_INVALID_PARAMETER;
  }
  *buffer = NewBlock(size, header->root);
  return *buffer != nullptr ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

ULONG MAPIFreeBuffer(void* buffer) {
  if (buffer == nullptr) return S_OK;
  BlockHeader* header = HeaderOf(buffer);
  // A block from MAPIAllocateMore lives until its parent is freed.
  if (header->magic == kChildMagic) return S_OK;
  if (header->magic != kRootMagic) return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
  BlockHeader* child = header->nextChild;
  while (child != nullptr) {
    BlockHeader* next = child->nextChild;
    child->magic = kFreedMagic;
    std::free(child);
    child = next;
  }
  header->magic = kFreedMagic;
  std::free(header);
  return S_OK;
}

void FreeProws(SRowSet* rows) {
  if (rows == nullptr) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
  MAPIFreeBuffer(rows);
}
