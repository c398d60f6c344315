/*
 * kepra: programming interface of the kepra family of USB 3 industrial cameras.
 *
 * Every function takes the camera handle H first (except where noted) and returns a
 * 32-bit flag: 1 on success, 0 on failure. The reason for a failure is in the calling
 * thread's last-error value (GetLastError() on Windows, kepra_GetLastError() anywhere).
 *
 * Thread safety: operations that touch more than one value hold a per-camera lock that is
 * shared by every thread and every process that opened the same camera. kepra_OpenDevice
 * and kepra_CloseDevice must not run at the same time on several threads of one process.
 */
#ifndef KEPRA_KEPRA_H
#define KEPRA_KEPRA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define KEPRA_CALL __stdcall
#if defined(KEPRA_BUILDING_LIBRARY)
#define KEPRA_API
#define KEPRA_DATA
#else
#define KEPRA_API __declspec(dllimport)
#define KEPRA_DATA __declspec(dllimport)
#endif
#else
#define KEPRA_CALL
#define KEPRA_API __attribute__((visibility("default")))
#define KEPRA_DATA __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A camera handle is the operating system's handle of the opened camera device. */
typedef void* KEPRA_HANDLE;

/* The value returned by kepra_OpenDevice on failure; no function accepts it as a camera. */
#define KEPRA_INVALID_HANDLE ((KEPRA_HANDLE)(intptr_t)-1)

/* Device indices 0 .. KEPRA_MAX_DEVICES - 1 are valid. */
#define KEPRA_MAX_DEVICES 35u

/*
 * Device-interface class of the camera driver, {90bcde2c-e6de-4cf2-b43c-d0850c4d4700}.
 * The camera of device index i registers its interface under this class with the last byte
 * replaced by i, so an application can watch for the arrival of a given camera index.
 */
#define KEPRA_INTERFACE_CLASS_DATA1 0x90bcde2cu
#define KEPRA_INTERFACE_CLASS_DATA2 0xe6deu
#define KEPRA_INTERFACE_CLASS_DATA3 0x4cf2u
#define KEPRA_INTERFACE_CLASS_DATA4 \
  { 0xb4, 0x3c, 0xd0, 0x85, 0x0c, 0x4d, 0x47, 0x00 }
#define KEPRA_INTERFACE_CLASS_STRING "{90bcde2c-e6de-4cf2-b43c-d0850c4d4700}"

/* Last-error values set by the library itself (others come from the system or driver). */
#define KEPRA_ERROR_INVALID_HANDLE 6u              /* ERROR_INVALID_HANDLE */
#define KEPRA_ERROR_READ_FAULT 30u                 /* ERROR_READ_FAULT: firmware file unreadable */
#define KEPRA_ERROR_INVALID_PARAMETER 87u          /* ERROR_INVALID_PARAMETER */
#define KEPRA_ERROR_INSUFFICIENT_BUFFER 122u       /* ERROR_INSUFFICIENT_BUFFER */
#define KEPRA_ERROR_INVALID_ADDRESS 487u           /* ERROR_INVALID_ADDRESS: null pointer */
#define KEPRA_ERROR_DEVICE_NOT_CONNECTED 1167u     /* ERROR_DEVICE_NOT_CONNECTED: camera gone */
#define KEPRA_ERROR_PRODUCT_VERSION 1638u          /* ERROR_PRODUCT_VERSION */
#define KEPRA_STATUS_INVALID_HANDLE 0xC0000008u    /* device lock given the invalid handle */
#define KEPRA_STATUS_INVALID_PARAMETER 0xC000000Du /* driver refused the device-index request */

/* The calling thread's last-error value (on Windows the same value as GetLastError). */
KEPRA_API uint32_t KEPRA_CALL kepra_GetLastError(void);
KEPRA_API void KEPRA_CALL kepra_SetLastError(uint32_t Error);

/* ---- Device session ---------------------------------------------------------------- */

/* Opens the camera of a device index (0..34). Returns KEPRA_INVALID_HANDLE on failure. */
KEPRA_API KEPRA_HANDLE KEPRA_CALL kepra_OpenDevice(uint32_t DeviceIndex);
/* Closes a camera handle. Fails (last error 6) only for KEPRA_INVALID_HANDLE. */
KEPRA_API uint32_t KEPRA_CALL kepra_CloseDevice(KEPRA_HANDLE H);

/* ---- Frames --------------------------------------------------------------------------
 * One frame per call, written by the driver straight into the caller's buffer of Length
 * bytes. No device lock is taken, so frames can be grabbed while another thread changes
 * settings. Invalid handle: 6; null buffer: 487. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrame16(KEPRA_HANDLE H, void* Buffer, uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameEx16(KEPRA_HANDLE H, void* Buffer, uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameAfterEx16(KEPRA_HANDLE H, void* Buffer, uint32_t Length,
                                                      uint32_t Value);
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrame8(KEPRA_HANDLE H, void* Buffer, uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameEx8(KEPRA_HANDLE H, void* Buffer, uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameAfterEx8(KEPRA_HANDLE H, void* Buffer, uint32_t Length,
                                                     uint32_t Value);

/* ---- Sensor registers --------------------------------------------------------------
 * 16-bit registers at 16-bit addresses; only the low 16 bits of Address and Value are used.
 * Invalid handle: 87. Both hold the device lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_ReadSensorReg(KEPRA_HANDLE H, uint32_t Address,
                                                  uint16_t* Value);
KEPRA_API uint32_t KEPRA_CALL kepra_WriteSensorReg(KEPRA_HANDLE H, uint32_t Address,
                                                   uint32_t Value);

/* ---- Identity and camera information -------------------------------------------------
 * The camera's 78-byte identity record, read and written whole, and the camera description
 * derived from it. Invalid handle: 6; null pointer: 487 (kepra_CheckId: 87 with a debug
 * line for both). kepra_GetCameraInfo, kepra_GetCameraInfoEx and kepra_CheckId hold the
 * device lock. */

#define KEPRA_IDENT_DATA_SIZE 78u

/* The identity record. Bytes 0-1: identity word (little-endian); byte 2: model code;
 * bytes 3-5: further identity bytes; bytes 6-77: further identity data. */
typedef struct kepra_IdentData {
  uint8_t Bytes[78];
} kepra_IdentData;

/* Filled by kepra_GetCameraInfo. Only the model name and its NUL are written into
 * ModelName; the bytes after the NUL keep what they held. */
typedef struct kepra_CameraInfo {
  uint32_t Color; /* 1 for a colour sensor, else 0 */
  uint32_t Width; /* pixels */
  uint32_t Height;
  char ModelName[20];
} kepra_CameraInfo;

/* Filled by kepra_GetCameraInfoEx from identity bytes 0 to 5. */
typedef struct kepra_CameraInfoEx {
  uint16_t ModelCode;  /* identity byte 2 */
  uint16_t IdentByte3; /* identity byte 3 */
  uint32_t IdentWord;  /* identity bytes 0-1 */
  uint16_t IdentByte4; /* identity byte 4 */
  uint16_t IdentByte5; /* identity byte 5 */
} kepra_CameraInfoEx;

#if defined(__cplusplus) && __cplusplus >= 201103L
#define KEPRA_LAYOUT_CHECK(condition, message) static_assert(condition, message);
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KEPRA_LAYOUT_CHECK(condition, message) _Static_assert(condition, message);
#else
#define KEPRA_LAYOUT_CHECK(condition, message)
#endif
KEPRA_LAYOUT_CHECK(sizeof(kepra_IdentData) == 78, "identity record is 78 bytes")
KEPRA_LAYOUT_CHECK(sizeof(kepra_CameraInfo) == 32, "camera info record is 32 bytes")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfo, Width) == 4, "Width at 4")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfo, Height) == 8, "Height at 8")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfo, ModelName) == 12, "ModelName at 12")
KEPRA_LAYOUT_CHECK(sizeof(kepra_CameraInfoEx) == 12, "extended camera info is 12 bytes")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfoEx, IdentByte3) == 2, "IdentByte3 at 2")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfoEx, IdentWord) == 4, "IdentWord at 4")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfoEx, IdentByte4) == 8, "IdentByte4 at 8")
KEPRA_LAYOUT_CHECK(offsetof(kepra_CameraInfoEx, IdentByte5) == 10, "IdentByte5 at 10")
#undef KEPRA_LAYOUT_CHECK

KEPRA_API uint32_t KEPRA_CALL kepra_GetIdentData(KEPRA_HANDLE H, kepra_IdentData* IdentData);
/* The record is passed by value: all 78 bytes travel as the argument. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetIdentData(KEPRA_HANDLE H, kepra_IdentData IdentData);
KEPRA_API uint32_t KEPRA_CALL kepra_GetCameraInfo(KEPRA_HANDLE H, kepra_CameraInfo* Info);
KEPRA_API uint32_t KEPRA_CALL kepra_GetCameraInfoEx(KEPRA_HANDLE H, kepra_CameraInfoEx* InfoEx);
/* Asks the camera for its identity-check reply, CheckIdLen bytes (only read, never written
 * back). A null CheckIdLen is refused like a null CheckId. */
KEPRA_API uint32_t KEPRA_CALL kepra_CheckId(KEPRA_HANDLE H, void* CheckId,
                                            const uint32_t* CheckIdLen);
/* The USB vendor and product identifiers cannot be read or changed through this library:
 * after their argument checks both return 0 without setting a last error. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetVIDPID(KEPRA_HANDLE H, uint16_t* VID, uint16_t* PID);
KEPRA_API uint32_t KEPRA_CALL kepra_SetVIDPID(KEPRA_HANDLE H, uint16_t VID, uint16_t PID);

/* ---- Versions and diagnostics ------------------------------------------------------
 * One request each, without the device lock. Invalid handle: 6; null required pointer: 487.
 * No debug lines. */

/* The driver's version: Major.Minor.Build of the magnitude of its signed version word, and
 * Sign = 1 when that word is negative (Sign may be null). Only driver 0.1.96 is accepted:
 * any other gives 0 with last error 1638, the values written all the same. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetDriverVer(KEPRA_HANDLE H, uint8_t* Major, uint8_t* Minor,
                                                 uint16_t* Build, uint32_t* Sign);
/* The USB connection speed as the driver codes it; SpeedDetail (may be null) receives the
 * driver's second speed value. Nothing is written on failure. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetUsbSpeed(KEPRA_HANDLE H, uint32_t* Speed,
                                                uint32_t* SpeedDetail);
KEPRA_API uint32_t KEPRA_CALL kepra_DeviceReset(KEPRA_HANDLE H);
/* The driver's log text into Buffer (Length bytes, at least KEPRA_DRIVER_LOG_MIN; a shorter
 * one fails with 122 before the handle is looked at); BytesReturned gets the bytes written. */
#define KEPRA_DRIVER_LOG_MIN 21u
KEPRA_API uint32_t KEPRA_CALL kepra_GetDrvLogMsg(KEPRA_HANDLE H, char* Buffer, uint32_t Length,
                                                 uint32_t* BytesReturned);
/* The camera firmware's five version values; Ver3 and Ver4 may be null. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFWVersion(KEPRA_HANDLE H, uint16_t* Ver1, uint16_t* Ver2,
                                                 uint16_t* Ver3, uint16_t* Ver4, uint8_t* Ver5);

/* ---- SPI flash -------------------------------------------------------------------------
 * The camera's 2 MiB boot flash as byte ranges. CxReadSPIFlash and CxWriteSPIFlash take
 * flash addresses and no lock: a caller that uses them directly keeps other users of the
 * camera away itself. kepra_ReadFlash and kepra_WriteFlash take addresses in the user area
 * (flash addresses KEPRA_USER_AREA_BASE onwards) and hold the device lock.
 * A write rewrites every 64 KiB sector its range touches (read, erase, program), keeping the
 * bytes outside the range; if a request fails on the way, the sector it hit may be left
 * erased or partly programmed. Each call has its own working storage, so flash operations on
 * different cameras may run at the same time.
 * Invalid handle: 6; null pointer: 487; empty range or one past the end: 87. */
#define KEPRA_FLASH_SIZE 0x200000u
#define KEPRA_USER_AREA_BASE 0x160000u
#define KEPRA_USER_AREA_SIZE 0xA0000u

KEPRA_API uint32_t KEPRA_CALL CxReadSPIFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                             uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL CxWriteSPIFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                              uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL kepra_ReadFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                              uint32_t Length);
KEPRA_API uint32_t KEPRA_CALL kepra_WriteFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                               uint32_t Length);

/* ---- Firmware update -------------------------------------------------------------------
 * Both updates write from flash address 0 under the device lock and do not restart the
 * camera (kepra_DeviceReset does). If a request fails during the write the flash may hold an
 * incomplete image; nothing is restored.
 * kepra_UpdateFW writes the firmware image the library carries, only to a camera whose
 * firmware-version reply (kepra_GetFWVersion) has 1 and 6 as third and fourth values; other
 * cameras: last error 1638, nothing written. Invalid handle: 6.
 * kepra_UpdateFWFromFile writes the whole content of a file, unexamined. Null path: 87; file
 * missing or unreadable: 30; empty file: 487; file larger than KEPRA_FIRMWARE_REGION_SIZE
 * (it would reach the user area): 87. The handle is looked at only when the lock is taken,
 * after the file was read. */
#define KEPRA_FIRMWARE_REGION_SIZE 0x160000u

KEPRA_API uint32_t KEPRA_CALL kepra_UpdateFW(KEPRA_HANDLE H);
KEPRA_API uint32_t KEPRA_CALL kepra_UpdateFWFromFile(KEPRA_HANDLE H, const char* Path);
/* Sends the driver its firmware-error test request; no argument checks, no lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_PostTestFWError(KEPRA_HANDLE H);

/* Reserved data symbol kept for binary compatibility; the library never reads or writes it. */
extern KEPRA_DATA uint8_t Conv16to8_inst[65536];

#ifdef __cplusplus
}
#endif

#endif /* KEPRA_KEPRA_H */
