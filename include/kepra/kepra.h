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

/* Compile-time checks of the public records' layout (C11, C++11; older C gets an array
 * declaration that fails to compile when the condition is false). */
#ifndef KEPRA_STATIC_ASSERT
#if defined(__cplusplus)
#define KEPRA_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KEPRA_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KEPRA_STATIC_ASSERT(cond, msg) extern int kepra_static_assert_[(cond) ? 1 : -1]
#endif
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

/* ---- Readout mode and HDR -----------------------------------------------------------
 * The readout mode is bits 4-5 of sensor register 11 (0..3); setting it also writes the
 * sensor's tuning registers where the sensor variant (register 127) needs them. HDR is an
 * on/off switch kept by the driver. Invalid handle or null pointer: 87 with a debug line.
 * All four hold the device lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetReadoutMode(KEPRA_HANDLE H, uint32_t* Mode);
/* Only the two low bits of Mode reach the sensor. Fails without a last error of its own on
 * an unknown sensor variant (nothing written) and for mode 3 on variant 0x0900 (register 11
 * is written, the tuning registers are not). */
KEPRA_API uint32_t KEPRA_CALL kepra_SetReadoutMode(KEPRA_HANDLE H, uint32_t Mode);
/* Delivers the driver's HDR byte unchanged. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetHDR(KEPRA_HANDLE H, uint8_t* pHDR);
/* Any non-zero HDR switches it on (the driver receives 1), zero off. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetHDR(KEPRA_HANDLE H, uint8_t HDR);

/* ---- Snapshot, strobe and events ------------------------------------------------------
 * Invalid handle or null pointer: 87 with a debug line. All but kepra_CheckEventsState hold
 * the device lock. */

/* Snapshot: a timeout in milliseconds and an inverted flag, kept by the driver as one signed
 * 32-bit value: TimeoutMs, or its negation when Inverted is set (0x80000000 for Inverted with
 * timeout 0). Timeouts up to 0x7FFFFFFF read back as set. The getter reports 0x80000000 as
 * Inverted = 1, TimeoutMs = 0, and refuses null pointers in the order TimeoutMs, Inverted. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetSnapshotParams(KEPRA_HANDLE H, uint32_t* TimeoutMs,
                                                      uint8_t* Inverted);
KEPRA_API uint32_t KEPRA_CALL kepra_SetSnapshotParams(KEPRA_HANDLE H, uint32_t TimeoutMs,
                                                      uint8_t Inverted);

/* Strobe: mode 0..3 (sensor register 11 bits 6-7), off and on delays (register 5 low and
 * high byte) and an inverted flag (register 7 bit 14); the other bits of registers 7 and 11
 * are kept. The getter refuses null pointers in the order StrobeMode, StrobeOffDelay,
 * StrobeOnDelay, Inverted ("StrobeMode is NULL" ...). The setter refuses a StrobeMode above 3
 * ("StrobeMode is not valid", 87) before it touches the camera; when register 7 cannot be read
 * it leaves the inverted flag alone and still sets the mode. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetStrobeParams(KEPRA_HANDLE H, uint32_t* StrobeMode,
                                                    uint8_t* StrobeOffDelay, uint8_t* StrobeOnDelay,
                                                    uint8_t* Inverted);
KEPRA_API uint32_t KEPRA_CALL kepra_SetStrobeParams(KEPRA_HANDLE H, uint32_t StrobeMode,
                                                    uint8_t StrobeOffDelay, uint8_t StrobeOnDelay,
                                                    uint8_t Inverted);

/* Events state: one byte of event bits kept by the driver. The setter gives the bits selected
 * by Mask (only bits 0-3 count) the values they have in Bit and keeps the other bits, except
 * that a bit set in Bit outside the selection is cleared. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetEventsState(KEPRA_HANDLE H, uint8_t* Bit);
KEPRA_API uint32_t KEPRA_CALL kepra_SetEventsState(KEPRA_HANDLE H, uint8_t Bit, uint8_t Mask);

/* Searches the events of a frame-information record (event count: unsigned 16-bit,
 * little-endian, at byte offset 26; one event byte each from offset 48) for the first whose
 * Mask bits equal those of Bit. Returns its index, or -1 when there is none or FrameInfo is
 * null. Takes no handle and no lock and sets no last error. */
KEPRA_API int32_t KEPRA_CALL kepra_CheckEventsState(const void* FrameInfo, uint8_t Bit,
                                                    uint8_t Mask);

/* ---- Frame parameters, stream mode and front LED ---------------------------------------
 * Settings the driver keeps; the library carries them unchanged. */

/* The driver's frame-parameter record: 26 bytes, every field little-endian. The camera checks
 * a record as a whole and refuses (87) one with an empty or out-of-sensor region, an unknown
 * sample depth or binning factor, a width or height not divisible by its binning factor,
 * unknown flags or non-zero reserved bytes. A 1280 x 1024 camera starts with the full sensor,
 * 10 bits, no binning, no flags. */
typedef struct kepra_FrameParams {
  uint16_t X;           /* offset 0: first sensor column of the region of interest */
  uint16_t Y;           /* offset 2: first sensor row */
  uint16_t Width;       /* offset 4: sensor columns, before binning; X + Width <= sensor width */
  uint16_t Height;      /* offset 6: sensor rows, before binning; Y + Height <= sensor height */
  uint16_t BitDepth;    /* offset 8: significant bits of a sample: 8, 10 or 12 */
  uint16_t BinX;        /* offset 10: horizontal binning factor: 1, 2 or 4 */
  uint16_t BinY;        /* offset 12: vertical binning factor: 1, 2 or 4 */
  uint16_t Flags;       /* offset 14: KEPRA_FRAME_MIRROR_X, KEPRA_FRAME_FLIP_Y */
  uint8_t Reserved[10]; /* offset 16: zero */
} kepra_FrameParams;
KEPRA_STATIC_ASSERT(sizeof(kepra_FrameParams) == 26, "kepra_FrameParams is 26 bytes");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameParams, BitDepth) == 8, "BitDepth at 8");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameParams, Flags) == 14, "Flags at 14");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameParams, Reserved) == 16, "Reserved at 16");
#define KEPRA_FRAME_MIRROR_X 0x0001u
#define KEPRA_FRAME_FLIP_Y 0x0002u

/* Reads the record; no handle check of its own and no lock: a bad handle fails in the request. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameParams(KEPRA_HANDLE H, kepra_FrameParams* Params);
/* Sends the record under the device lock (invalid handle: 0xC0000008 from the lock), then
 * lengthens the sensor's frame where the new setting needs it, even when the driver refused
 * the record. The result is the driver's answer to the record. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrameParams(KEPRA_HANDLE H, const kepra_FrameParams* Params);
/* Stream mode, a 32-bit value of the driver's. Invalid handle: 87. The setter holds the lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetStreamMode(KEPRA_HANDLE H, uint32_t* Mode);
KEPRA_API uint32_t KEPRA_CALL kepra_SetStreamMode(KEPRA_HANDLE H, uint32_t Mode);
/* Sends the LED state byte to the camera. Invalid handle: 6. No lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_SwitchFrontLED(KEPRA_HANDLE H, uint8_t State);

/* ---- Bad pixels ------------------------------------------------------------------------
 * The camera corrects defective pixels from a list it keeps. Each function sends one request
 * and takes no lock; the library passes the bytes through. A failed request writes a debug
 * line (not kepra_SetBadPixelData) and keeps the system's last error. */

/* One list entry: 5 bytes, packed, little-endian. Kind is the camera's class of the defect
 * (the library and the virtual camera keep it as given). The camera refuses (87) a list of
 * more than KEPRA_MAX_BAD_PIXELS entries or with an entry outside the sensor. */
#pragma pack(push, 1)
typedef struct kepra_BadPixel {
  uint16_t X;   /* offset 0: sensor column */
  uint16_t Y;   /* offset 2: sensor row */
  uint8_t Kind; /* offset 4 */
} kepra_BadPixel;
#pragma pack(pop)
KEPRA_STATIC_ASSERT(sizeof(kepra_BadPixel) == 5, "kepra_BadPixel is 5 bytes");
KEPRA_STATIC_ASSERT(offsetof(kepra_BadPixel, Y) == 2, "Y at 2");
KEPRA_STATIC_ASSERT(offsetof(kepra_BadPixel, Kind) == 4, "Kind at 4");
#define KEPRA_MAX_BAD_PIXELS 1000u

/* The correction switch. The camera answers with two bytes: Enabled (1 when correction is
 * switched on, else 0) and HasList (1 when its list holds at least one entry). Either pointer
 * may be null. Invalid handle: 6. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFixBadPixels(KEPRA_HANDLE H, uint8_t* Enabled,
                                                    uint8_t* HasList);
/* Switches correction on (Enable non-zero) or off; Previous, if not null, receives the
 * camera's reply: the switch as it was before (0 or 1). Invalid handle: 6. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetFixBadPixels(KEPRA_HANDLE H, uint8_t Enable,
                                                    uint8_t* Previous);
/* Stores KEPRA_MAX_BAD_PIXELS. H is not looked at; a null Count fails without a last error. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetMaxBadPixelCount(KEPRA_HANDLE H, uint16_t* Count);
/* The number of entries in the camera's list. Invalid handle: 6. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetBadPixelCount(KEPRA_HANDLE H, uint16_t* Count);
/* Reads the list into Data, which holds Count entries; Delivered, if not null, receives the
 * number of whole entries the driver wrote. Handle and Data go to the request unchecked. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetBadPixelData(KEPRA_HANDLE H, kepra_BadPixel* Data,
                                                    uint16_t Count, uint16_t* Delivered);
/* Replaces the camera's list by Count entries (0 empties it); Reply, if not null, receives the
 * camera's answer: the number of entries it now keeps. Handle and Data go to the request
 * unchecked. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetBadPixelData(KEPRA_HANDLE H, const kepra_BadPixel* Data,
                                                    uint16_t Count, uint16_t* Reply);

/* Reserved data symbol kept for binary compatibility; the library never reads or writes it. */
extern KEPRA_DATA uint8_t Conv16to8_inst[65536];

#ifdef __cplusplus
}
#endif

#endif /* KEPRA_KEPRA_H */
