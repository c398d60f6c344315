// The library's own version and the text of last-error values: no handle, no request.
#include "api/export.h"
#include "core/error_text.h"

static_assert(KEPRA_VERSION_MAJOR == KEPRA_PROJECT_VERSION_MAJOR &&
                  KEPRA_VERSION_MINOR == KEPRA_PROJECT_VERSION_MINOR &&
                  KEPRA_VERSION_PATCH == KEPRA_PROJECT_VERSION_PATCH,
              "the header's KEPRA_VERSION_* must follow the project version");

extern "C" {

uint32_t KEPRA_CALL kepra_GetLibraryVersion(void) noexcept { return KEPRA_VERSION; }

const char* KEPRA_CALL kepra_ErrorText(uint32_t Code) noexcept {
  return kepra::core::ErrorText(Code);
}

}  // extern "C"
