// The identity record, the camera description derived from it, the identity check and the
// USB identifiers (which this library cannot read or change).
#include <cstring>

#include "api/export.h"
#include "core/identity_math.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

namespace {

// A failure line must not replace the reason the failed request left.
void ReportFailure(const char* line) {
  const DWORD error = GetLastError();
  device::CxDebugPrint("%s", line);
  SetLastError(error);
}

}  // namespace

namespace {

// The identity record read under the device lock, released before the record is decoded.
bool ReadIdentLocked(KEPRA_HANDLE H, kepra_IdentData* ident) {
  device::DeviceLock lock(api::ToHandle(H));
  return lock && kepra_GetIdentData(H, ident) != 0;
}

}  // namespace

extern "C" {

uint32_t KEPRA_CALL kepra_GetIdentData(KEPRA_HANDLE H, kepra_IdentData* IdentData) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!IdentData) return api::Fail(ERROR_INVALID_ADDRESS);
  if (!driver::Request(h, protocol::IOCTL_IDENTDATA, nullptr, 0, IdentData->Bytes,
                       core::kIdentDataSize)) {
    ReportFailure("DeviceIoControl IOCTL_IDENTDATA failed\n");
    return 0;
  }
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetIdentData(KEPRA_HANDLE H, kepra_IdentData IdentData) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!driver::Request(h, protocol::IOCTL_SET_IDENTDATA, IdentData.Bytes, core::kIdentDataSize,
                       nullptr, 0)) {
    ReportFailure("DeviceIoControl IOCTL_SET_IDENTDATA failed\n");
    return 0;
  }
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetCameraInfo(KEPRA_HANDLE H, kepra_CameraInfo* Info) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Info) return api::Fail(ERROR_INVALID_ADDRESS);
  kepra_IdentData ident;
  if (!ReadIdentLocked(H, &ident)) return 0;
  const core::ModelRow& row = core::LookUpModel(ident.Bytes[core::kModelCodeByte]);
  Info->Color = row.color;
  Info->Width = row.width;
  Info->Height = row.height;
  // Only the name and its NUL: the rest of the caller's field keeps what it held.
  std::memcpy(Info->ModelName, row.name, std::strlen(row.name) + 1);
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetCameraInfoEx(KEPRA_HANDLE H, kepra_CameraInfoEx* InfoEx) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!InfoEx) return api::Fail(ERROR_INVALID_ADDRESS);
  kepra_IdentData ident;
  if (!ReadIdentLocked(H, &ident)) return 0;
  const core::IdentFields fields = core::DecodeIdentFields(ident.Bytes);
  InfoEx->ModelCode = fields.model_code;
  InfoEx->IdentByte3 = fields.byte3;
  InfoEx->IdentWord = fields.word;
  InfoEx->IdentByte4 = fields.byte4;
  InfoEx->IdentByte5 = fields.byte5;
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_CheckId(KEPRA_HANDLE H, void* CheckId,
                                  const uint32_t* CheckIdLen) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!CheckId) return api::Refuse("CheckId is NULL");
  // The length is needed to size the request; without it there is nothing sensible to send,
  // so a null one is refused like the buffer, with its own line.
  if (!CheckIdLen) return api::Refuse("CheckIdLen is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return driver::Request(h, protocol::IOCTL_CHECK_ID, nullptr, 0, CheckId, *CheckIdLen) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetVIDPID(KEPRA_HANDLE H, uint16_t* VID, uint16_t* PID) noexcept try {
  if (device::IsInvalid(api::ToHandle(H))) return api::Fail(ERROR_INVALID_HANDLE);
  if (!VID || !PID) return api::Fail(ERROR_INVALID_ADDRESS);
  return 0;  // not supported: nothing is asked of the driver and no reason is set
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetVIDPID(KEPRA_HANDLE H, uint16_t VID, uint16_t PID) noexcept try {
  if (device::IsInvalid(api::ToHandle(H))) return api::Fail(ERROR_INVALID_HANDLE);
  if (VID == 0 || PID == 0) return api::Fail(ERROR_INVALID_ADDRESS);
  return 0;  // not supported: nothing is sent to the driver and no reason is set
} catch (...) {
  return api::Caught();
}

}  // extern "C"
