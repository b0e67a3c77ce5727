#include "platform/bstr.h"

#include <cstring>

#include "platform/heap.h"

namespace win {
namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);
constexpr size_t kTerminatorBytes = sizeof(char16_t);
// Byte lengths must fit the 32-bit prefix, with room for the prefix and the terminator.
constexpr size_t kMaxBytes = 0xFFFFFFFFu - kPrefixBytes - kTerminatorBytes - 1;

// A new string of `bytes` bytes copied from `source` (zero-filled when null).
BSTR Allocate(const void* source, size_t bytes) {
  if (bytes > kMaxBytes) return nullptr;
  auto* block = static_cast<uint8_t*>(HeapAlloc(kPrefixBytes + bytes + kTerminatorBytes + 1));
  if (block == nullptr) return nullptr;
  auto length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &length, kPrefixBytes);
  uint8_t* text = block + kPrefixBytes;
  if (source != nullptr) {
    std::memmove(text, source, bytes);
  } else {
    std::memset(text, 0, bytes);
  }
  // Two zero bytes after the text, and a third so that an odd byte length still ends in a NUL.
  std::memset(text + bytes, 0, kTerminatorBytes + 1);
  return reinterpret_cast<BSTR>(text);
}

uint8_t* BlockOf(BSTR s) { return reinterpret_cast<uint8_t*>(s) - kPrefixBytes; }

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  return Allocate(text, std::char_traits<char16_t>::length(text) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  return Allocate(text, size_t{length} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) { return Allocate(bytes, length); }

INT SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (target == nullptr) return FALSE;
  BSTR s = SysAllocString(text);
  if (s == nullptr && text != nullptr) return FALSE;
  SysFreeString(*target);
  *target = s;
  return TRUE;
}

INT SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
  if (target == nullptr) return FALSE;
  // Cutting a string to its own first characters needs no new block.
  if (*target != nullptr && text == *target && length <= SysStringLen(*target)) {
    const uint32_t bytes = length * sizeof(OLECHAR);
    std::memcpy(BlockOf(*target), &bytes, kPrefixBytes);
    (*target)[length] = 0;
    return TRUE;
  }
  BSTR s = SysAllocStringLen(text, length);
  if (s == nullptr) return FALSE;
  SysFreeString(*target);
  *target = s;
  return TRUE;
}

void SysFreeString(BSTR text) {
  if (text != nullptr) HeapFree(BlockOf(text));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t length;
  std::memcpy(&length, BlockOf(text), kPrefixBytes);
  return length;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

}  // namespace win
