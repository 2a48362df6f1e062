// libnvkeep: numbered persistent configuration units.
//
// Each unit is one file in the store folder, named by its decimal number.
// The folder is "/nvkeep", or the folder named by the environment variable
// NVKEEP_DIR. A write replaces the unit atomically: readers see either the
// old content or the new one, never a part of it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NVKEEP_API __attribute__((visibility("default")))

enum {
    NVKEEP_OK = 0,        // success
    NVKEEP_ERR_ARG = 2,   // null pointer or a path that does not fit
    NVKEEP_ERR_IO = 3,    // the store could not be read or written
    NVKEEP_ERR_SIZE = 4,  // content too large for a 32-bit size
    NVKEEP_EMPTY = 5,     // the unit holds nothing yet
};

// Result NVKEEP_OK: *size holds the byte count of the unit's content (an
// existing unit may hold 0 bytes). NVKEEP_EMPTY: the unit was never written.
// Any other result is an error code and *size is left as it was.
NVKEEP_API int nvkeep_get_unit_size(uint32_t unit, uint32_t *size);

// Stores `length` bytes from `data` as the unit's whole content.
// NVKEEP_OK on success; any other result is an error code, and the unit
// keeps its previous content.
NVKEEP_API int nvkeep_write_unit(uint32_t unit, const void *data, uint32_t length);

#ifdef __cplusplus
}
#endif
