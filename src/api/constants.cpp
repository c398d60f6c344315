// The public header states these values to applications; inside they have one definition
// each, in the layer that uses them. The build fails if the two ever part.
#include <cstddef>

#include "api/export.h"
#include "core/identity_math.h"
#include "flash/firmware_update.h"
#include "flash/spi_flash.h"
#include "protocol/protocol.h"

namespace kepra::api {
namespace {

static_assert(device::kMaxDevices == KEPRA_MAX_DEVICES);

static_assert(flash::kFlashSize == KEPRA_FLASH_SIZE);
static_assert(flash::kUserAreaBase == KEPRA_USER_AREA_BASE);
static_assert(flash::kUserAreaSize == KEPRA_USER_AREA_SIZE);
static_assert(flash::kFirmwareRegionSize == KEPRA_FIRMWARE_REGION_SIZE);

static_assert(protocol::kDriverLogMinimum == KEPRA_DRIVER_LOG_MIN);
static_assert(core::kIdentDataSize == KEPRA_IDENT_DATA_SIZE);

static_assert(protocol::kFrameInfoSize == sizeof(kepra_FrameInfo));
static_assert(protocol::kFrameInfoMinSize == KEPRA_FRAME_INFO_MIN_SIZE);
static_assert(protocol::kFrameInfoEventCountOffset == offsetof(kepra_FrameInfo, EventCount));
static_assert(protocol::kFrameInfoEventsOffset == offsetof(kepra_FrameInfo, Events));
static_assert(protocol::kFrameInfoMaxEvents == sizeof(kepra_FrameInfo::Events));
static_assert(protocol::kFrameInfoFrequencyOffset == offsetof(kepra_FrameInfo, ClockMHz));
static_assert(protocol::kFrameInfoFactorAOffset == offsetof(kepra_FrameInfo, ExposureLines));
static_assert(protocol::kFrameInfoFactorBOffset == offsetof(kepra_FrameInfo, LineLength));

}  // namespace
}  // namespace kepra::api
