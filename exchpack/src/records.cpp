// The counted-bytes records.
#include <cstdlib>

#include "exchpack_dll.h"

extern "C" EXCHPACK_API int32_t EXCHPACK_CDECL RAW_DATA_new(raw_data_st* record, int32_t n) {
  if (record == nullptr) return EXCHPACK_ERR_ARGUMENT;
  record->length = 0;
  record->data = nullptr;
  if (n < 0) return EXCHPACK_ERR_ARGUMENT;
  // An empty record still gets a block, so that copying 0 bytes into it
  // never passes a null pointer.
  auto* block = static_cast<unsigned char*>(std::calloc(n > 0 ? static_cast<size_t>(n) : 1, 1));
  if (block == nullptr) return EXCHPACK_ERR_MEMORY;
  record->data = block;
  record->length = n;
  return EXCHPACK_OK;
}

extern "C" EXCHPACK_API void EXCHPACK_CDECL RAW_DATA_delete(raw_data_st* record) {
  if (record == nullptr) return;
  std::free(record->data);
  record->data = nullptr;
  record->length = 0;
}
