#pragma once
// Ownership of ACE message blocks: one unique_ptr alias that releases the
// block, and a non-throwing factory. A block belongs to one thread at a time.
#include <ace/Message_Block.h>

#include <cstddef>
#include <memory>
#include <new>

struct HX_MsgBlockRelease {
  void operator()(ACE_Message_Block* block) const {
    if (block != nullptr) block->release();
  }
};
using HX_MsgBlockPtr = std::unique_ptr<ACE_Message_Block, HX_MsgBlockRelease>;

// A block with a buffer of |size| bytes (8-byte aligned, as CDR reads want),
// or null when the block or its buffer cannot be allocated.
inline HX_MsgBlockPtr HX_CreateMsgBlock(size_t size) {
  HX_MsgBlockPtr block(new (std::nothrow) ACE_Message_Block(size));
  if (!block || block->data_block() == nullptr || (size > 0 && block->base() == nullptr)) return nullptr;
  return block;
}
