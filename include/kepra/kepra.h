/*
 * kepra: programming interface of the kepra family of USB 3 industrial cameras.
 *
 * Every function takes the camera handle H first (except where noted) and returns a
 * 32-bit flag: 1 on success, 0 on failure. The reason for a failure is in the calling
 * thread's last-error value (GetLastError() on Windows, kepra_GetLastError() anywhere).
 *
 * Thread safety: operations that touch more than one value hold a per-camera lock that is
 * shared by every thread and every process that opened the same camera. Cameras may be
 * opened and closed from any threads at once.
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

/* No function lets an exception escape, whatever the language of the caller: C++ includers
 * see them noexcept. A failed allocation inside one is reported like any other failure, with
 * last error 8 (ERROR_NOT_ENOUGH_MEMORY). */
#if defined(__cplusplus) && \
    (__cplusplus >= 201103L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201103L))
#define KEPRA_NOEXCEPT noexcept
#elif defined(__cplusplus)
#define KEPRA_NOEXCEPT throw()
#else
#define KEPRA_NOEXCEPT
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
KEPRA_API uint32_t KEPRA_CALL kepra_GetLastError(void) KEPRA_NOEXCEPT;
KEPRA_API void KEPRA_CALL kepra_SetLastError(uint32_t Error) KEPRA_NOEXCEPT;

/* ---- Device session ---------------------------------------------------------------- */

/* Opens the camera of a device index (0..34). Returns KEPRA_INVALID_HANDLE on failure. */
KEPRA_API KEPRA_HANDLE KEPRA_CALL kepra_OpenDevice(uint32_t DeviceIndex) KEPRA_NOEXCEPT;
/* Closes a camera handle. Fails (last error 6) only for KEPRA_INVALID_HANDLE. */
KEPRA_API uint32_t KEPRA_CALL kepra_CloseDevice(KEPRA_HANDLE H) KEPRA_NOEXCEPT;

/* ---- Frames --------------------------------------------------------------------------
 * One frame per call, written by the driver straight into the caller's buffer of Length
 * bytes. No device lock is taken, so frames can be grabbed while another thread changes
 * settings. Invalid handle: 6; null buffer: 487.
 * A frame is Width / BinX by Height / BinY samples of the frame parameters
 * (kepra_GetFrameParams), line by line: 16-bit little-endian samples holding the value at
 * BitDepth bits, right-aligned, for the ...16 functions; one byte each, the value
 * >> (BitDepth - 8), for the ...8 functions. The Ex and AfterEx forms put the frame-information
 * record (kepra_FrameInfo) in front. The camera fills exactly Length bytes: zeros after the
 * frame, or only its first bytes. A camera in its boot loader (no valid firmware after
 * kepra_DeviceReset) fails with ERROR_NOT_READY (21). */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrame16(KEPRA_HANDLE H, void* Buffer,
                                               uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameEx16(KEPRA_HANDLE H, void* Buffer,
                                                 uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameAfterEx16(KEPRA_HANDLE H, void* Buffer, uint32_t Length,
                                                      uint32_t Value) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrame8(KEPRA_HANDLE H, void* Buffer,
                                              uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameEx8(KEPRA_HANDLE H, void* Buffer,
                                                uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameAfterEx8(KEPRA_HANDLE H, void* Buffer, uint32_t Length,
                                                     uint32_t Value) KEPRA_NOEXCEPT;

/* ---- Sensor registers --------------------------------------------------------------
 * 16-bit registers at 16-bit addresses; only the low 16 bits of Address and Value are used.
 * Invalid handle: 87. Both hold the device lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_ReadSensorReg(KEPRA_HANDLE H, uint32_t Address,
                                                  uint16_t* Value) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_WriteSensorReg(KEPRA_HANDLE H, uint32_t Address,
                                                   uint32_t Value) KEPRA_NOEXCEPT;

/* ---- Sensor clock ------------------------------------------------------------------
 * The sensor clock in whole MHz, kept by the driver; frame time, frame rate and exposure
 * times follow it. Invalid handle: 87. kepra_GetFrequency leaves *FrequencyMHz untouched
 * when the request fails; null pointer: 87. kepra_SetFrequency accepts 4 to 114 MHz
 * (otherwise 87, nothing sent). The D forms take and give doubles: kepra_SetFrequencyD drops
 * the fraction and uses the low 32 bits of the whole number (49.9 sets 49; NaN and values
 * beyond the 64-bit range count as 0 and are refused with 87); kepra_GetFrequencyD stores
 * 0.0 when the read fails and refuses a null pointer like kepra_GetFrequency. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrequency(KEPRA_HANDLE H,
                                                 uint32_t* FrequencyMHz) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrequency(KEPRA_HANDLE H,
                                                 uint32_t FrequencyMHz) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrequencyD(KEPRA_HANDLE H,
                                                  double* FrequencyMHz) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrequencyD(KEPRA_HANDLE H,
                                                  double FrequencyMHz) KEPRA_NOEXCEPT;

/* ---- Frame time and frame rate -------------------------------------------------------
 * The frame time is line length * frame length in line-length units (one unit lasts
 * 15.999554533002907 sensor-clock periods); the frame rate is
 * F * 62501.74015390621 / frame time frames per second at a clock of F MHz. The minimum
 * frame time follows the window, the exposure and the clock; the maximum is always
 * 134148098 (2047 * 65534). Setters clamp to that range and write the nearest line and frame
 * lengths. All hold the device lock; kepra_SetMinFrameRate and kepra_SetMaxFrameRate take it
 * twice, nested. Invalid handle, null pointer: 87. A rate that is not a positive finite
 * number, or too slow for a 32-bit frame time, is refused with 87. A clock that cannot be
 * read fails the call with the driver's error, one that reads as a multiple of 65536 MHz
 * (0 among them) with 87; nothing is written then. kepra_GetFrameRate may lengthen the
 * frame first when the exposure no longer fits; it reports +infinity for a frame time of 0.
 * NewFrameRate may be null. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameTimeMinMax(KEPRA_HANDLE H, uint32_t* FrameTimeMin,
                                                       uint32_t* FrameTimeMax) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameTime(KEPRA_HANDLE H,
                                                 uint32_t* Frametime) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrameTime(KEPRA_HANDLE H, uint32_t FrameTime) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameRateMinMax(KEPRA_HANDLE H, double* FrameRateMin,
                                                       double* FrameRateMax) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameRate(KEPRA_HANDLE H, double* FrameRate) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrameRate(KEPRA_HANDLE H, double FrameRate,
                                                 double* NewFrameRate) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetMinFrameRate(KEPRA_HANDLE H) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetMaxFrameRate(KEPRA_HANDLE H) KEPRA_NOEXCEPT;

/* ---- Frame information record -------------------------------------------------------
 * A per-frame record that the application keeps with a captured frame and hands to
 * kepra_GetFrameExposureMs (and kepra_CheckEventsState). Multi-byte fields are little-endian;
 * the library reads only EventCount, Events, ClockMHz, ExposureLines and LineLength, and the
 * reserved bytes carry nothing it uses. A caller may pass any buffer of at least
 * KEPRA_FRAME_INFO_MIN_SIZE bytes laid out this way.
 *
 * The camera puts the whole 4096-byte record in front of the samples of every Ex and AfterEx
 * frame (kepra_GetFrameEx16/8, kepra_GetFrameAfterEx16/8), so such a buffer needs
 * sizeof(kepra_FrameInfo) + Width * Height * bytes per sample. FrameCounter starts at
 * 0xFFFFFF00 and grows by one per frame the camera produces (wrapping), so a gap between two
 * frames a caller received means frames it did not get. kepra_GetFrameAfterEx16/8 with a
 * value V deliver the first frame whose counter C is newer than V, (int32_t)(C - V) > 0,
 * waiting for it if need be: pass the counter of the last frame received. Each frame carries
 * one event (EventCount 1): the camera's events state byte (kepra_GetEventsState) at capture. */
#define KEPRA_FRAME_INFO_MIN_SIZE 4066u
typedef struct kepra_FrameInfo {
  uint32_t FrameCounter; /* offset 0: number of the frame, see above */
  uint8_t Reserved4[4];
  uint64_t TimestampUs; /* offset 8: capture time, microseconds since the camera started */
  uint16_t Width;       /* offset 16: samples per line that follow the record */
  uint16_t Height;      /* offset 18: lines that follow the record */
  uint16_t BitDepth;    /* offset 20: significant bits of each sample that follows */
  uint8_t Reserved22[4];
  uint16_t EventCount; /* offset 26: number of entries used in Events */
  uint8_t Reserved28[20];
  uint8_t Events[4000]; /* offset 48: one byte per event */
  uint16_t ClockMHz;    /* offset 4048: sensor clock at capture, MHz */
  uint8_t Reserved4050[10];
  uint16_t ExposureLines; /* offset 4060: exposure in lines */
  uint8_t Reserved4062[2];
  uint16_t LineLength; /* offset 4064: line length in line-length units */
  uint8_t Reserved4066[30];
} kepra_FrameInfo;

KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, FrameCounter) == 0, "FrameCounter at 0");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, TimestampUs) == 8, "TimestampUs at 8");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, Width) == 16, "Width at 16");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, Height) == 18, "Height at 18");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, BitDepth) == 20, "BitDepth at 20");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, EventCount) == 26, "EventCount at 26");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, Events) == 48, "Events at 48");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, ClockMHz) == 4048, "ClockMHz at 4048");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, ExposureLines) == 4060, "ExposureLines at 4060");
KEPRA_STATIC_ASSERT(offsetof(kepra_FrameInfo, LineLength) == 4064, "LineLength at 4064");
KEPRA_STATIC_ASSERT(sizeof(kepra_FrameInfo) == 4096, "kepra_FrameInfo is 4096 bytes");

/* ---- Exposure ------------------------------------------------------------------------
 * In three units: lines (Exposure, what the sensor counts; limits 2 and 65534), sensor-clock
 * periods (ExposureTime = lines * line length * 15.999554533002907, truncated) and
 * milliseconds (ExposureTime / (clock MHz * 1000)). Setting the exposure lengthens the frame
 * when it no longer fits. kepra_SetExposure takes any value and maps it into 1..65534
 * ((Exposure - 1) mod 65534 + 1: 0 becomes 4, 65535 becomes 1). kepra_SetExposureTime
 * and kepra_SetExposureMs pick the nearest whole line; kepra_SetExposureMs waits 50 ms under
 * the device lock before it reads the exposure back into NewExposureMs (which may be null).
 * Invalid handle, null pointer: 87. A zero exposure time (also from too few milliseconds or
 * an unreadable clock) and a zero line length are refused with 87, and so are milliseconds
 * that are negative, not finite, or too long for a 32-bit exposure time. The millisecond
 * getters fail (0, no error of their own) when the clock reads as 0 or cannot be read.
 * kepra_GetExposureMinMax touches no device. kepra_GetExposureTimeMinMax may have written
 * ExpTimeMin when it fails; other results are written only on success.
 * kepra_GetFrameExposureMs computes a captured frame's exposure from its record, without a
 * device; a null record or a clock field of 0 gives 0.0. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureMinMax(KEPRA_HANDLE H, uint32_t* ExpMin,
                                                      uint32_t* ExpMax) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureFramerateMax(KEPRA_HANDLE H,
                                                            uint32_t* Exposure) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposure(KEPRA_HANDLE H, uint32_t* Exposure) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetExposure(KEPRA_HANDLE H, uint32_t Exposure) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureMinMaxMs(KEPRA_HANDLE H, double* ExpMin,
                                                        double* ExpMax) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureFramerateMaxMs(KEPRA_HANDLE H,
                                                              double* ExposureMs) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureMs(KEPRA_HANDLE H,
                                                  double* ExposureMs) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetExposureMs(KEPRA_HANDLE H, double ExposureMs,
                                                  double* NewExposureMs) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureTimeMinMax(KEPRA_HANDLE H, uint32_t* ExpTimeMin,
                                                          uint32_t* ExpTimeMax) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL
kepra_GetExposureTimeFramerateMax(KEPRA_HANDLE H, uint32_t* ExposureTime) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetExposureTime(KEPRA_HANDLE H,
                                                    uint32_t* ExposureTime) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetExposureTime(KEPRA_HANDLE H,
                                                    uint32_t ExposureTime) KEPRA_NOEXCEPT;
KEPRA_API double KEPRA_CALL kepra_GetFrameExposureMs(const kepra_FrameInfo* FrameInfo)
    KEPRA_NOEXCEPT;

/* ---- Gain ----------------------------------------------------------------------------
 * Factors, converted to the sensor's 8-bit codes (nearest code, halfway values upward;
 * out-of-range factors are clamped, NaN takes the largest code). Analog gain: 1, 1.5, 2, 3,
 * 4, 6, 8. Digital gain: 1.0 to 15.875. Colour gains GB, GR, B, R: 0.25 to 3.96875.
 * All hold the device lock. Invalid handle, null pointer: 87, except that kepra_SetGain has
 * no check of its own: the device lock refuses the invalid handle (0xC0000008).
 * kepra_SetGain pauses 20 ms under the lock after its write, also when the write failed.
 * kepra_SetGainC writes GB/GR, then B/R; when the second write fails the first stays. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetGain(KEPRA_HANDLE H, double* AGain,
                                            double* DGain) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetGain(KEPRA_HANDLE H, double AGain,
                                            double DGain) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetGainC(KEPRA_HANDLE H, double* GB, double* GR, double* B,
                                             double* R) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetGainC(KEPRA_HANDLE H, double GB, double GR, double B,
                                             double R) KEPRA_NOEXCEPT;

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

KEPRA_STATIC_ASSERT(sizeof(kepra_IdentData) == 78, "identity record is 78 bytes");
KEPRA_STATIC_ASSERT(sizeof(kepra_CameraInfo) == 32, "camera info record is 32 bytes");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfo, Width) == 4, "Width at 4");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfo, Height) == 8, "Height at 8");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfo, ModelName) == 12, "ModelName at 12");
KEPRA_STATIC_ASSERT(sizeof(kepra_CameraInfoEx) == 12, "extended camera info is 12 bytes");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfoEx, IdentByte3) == 2, "IdentByte3 at 2");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfoEx, IdentWord) == 4, "IdentWord at 4");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfoEx, IdentByte4) == 8, "IdentByte4 at 8");
KEPRA_STATIC_ASSERT(offsetof(kepra_CameraInfoEx, IdentByte5) == 10, "IdentByte5 at 10");

KEPRA_API uint32_t KEPRA_CALL kepra_GetIdentData(KEPRA_HANDLE H,
                                                 kepra_IdentData* IdentData) KEPRA_NOEXCEPT;
/* The record is passed by value: all 78 bytes travel as the argument. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetIdentData(KEPRA_HANDLE H,
                                                 kepra_IdentData IdentData) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetCameraInfo(KEPRA_HANDLE H,
                                                  kepra_CameraInfo* Info) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetCameraInfoEx(KEPRA_HANDLE H,
                                                    kepra_CameraInfoEx* InfoEx) KEPRA_NOEXCEPT;
/* Asks the camera for its identity-check reply, CheckIdLen bytes (only read, never written
 * back). A null CheckIdLen is refused like a null CheckId. */
KEPRA_API uint32_t KEPRA_CALL kepra_CheckId(KEPRA_HANDLE H, void* CheckId,
                                            const uint32_t* CheckIdLen) KEPRA_NOEXCEPT;
/* The USB vendor and product identifiers cannot be read or changed through this library:
 * after their argument checks both return 0 without setting a last error. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetVIDPID(KEPRA_HANDLE H, uint16_t* VID,
                                              uint16_t* PID) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetVIDPID(KEPRA_HANDLE H, uint16_t VID,
                                              uint16_t PID) KEPRA_NOEXCEPT;

/* ---- Versions and diagnostics ------------------------------------------------------
 * One request each, without the device lock. Invalid handle: 6; null required pointer: 487.
 * No debug lines. */

/* The driver's version: Major.Minor.Build of the magnitude of its signed version word, and
 * Sign = 1 when that word is negative (Sign may be null). Only driver 0.1.96 is accepted:
 * any other gives 0 with last error 1638, the values written all the same. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetDriverVer(KEPRA_HANDLE H, uint8_t* Major, uint8_t* Minor,
                                                 uint16_t* Build, uint32_t* Sign) KEPRA_NOEXCEPT;
/* The USB connection speed as the driver codes it; SpeedDetail (may be null) receives the
 * driver's second speed value. Nothing is written on failure. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetUsbSpeed(KEPRA_HANDLE H, uint32_t* Speed,
                                                uint32_t* SpeedDetail) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_DeviceReset(KEPRA_HANDLE H) KEPRA_NOEXCEPT;
/* The driver's log text into Buffer (Length bytes, at least KEPRA_DRIVER_LOG_MIN; a shorter
 * one fails with 122 before the handle is looked at); BytesReturned gets the bytes written. */
#define KEPRA_DRIVER_LOG_MIN 21u
KEPRA_API uint32_t KEPRA_CALL kepra_GetDrvLogMsg(KEPRA_HANDLE H, char* Buffer, uint32_t Length,
                                                 uint32_t* BytesReturned) KEPRA_NOEXCEPT;
/* The camera firmware's five version values; Ver3 and Ver4 may be null. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetFWVersion(KEPRA_HANDLE H, uint16_t* Ver1, uint16_t* Ver2,
                                                 uint16_t* Ver3, uint16_t* Ver4,
                                                 uint8_t* Ver5) KEPRA_NOEXCEPT;

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
                                             uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL CxWriteSPIFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                              uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_ReadFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                              uint32_t Length) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_WriteFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                               uint32_t Length) KEPRA_NOEXCEPT;

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

KEPRA_API uint32_t KEPRA_CALL kepra_UpdateFW(KEPRA_HANDLE H) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_UpdateFWFromFile(KEPRA_HANDLE H,
                                                     const char* Path) KEPRA_NOEXCEPT;
/* Sends the driver its firmware-error test request; no argument checks, no lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_PostTestFWError(KEPRA_HANDLE H) KEPRA_NOEXCEPT;

/* ---- Readout mode and HDR -----------------------------------------------------------
 * The readout mode is bits 4-5 of sensor register 11 (0..3); setting it also writes the
 * sensor's tuning registers where the sensor variant (register 127) needs them. HDR is an
 * on/off switch kept by the driver. Invalid handle or null pointer: 87 with a debug line.
 * All four hold the device lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetReadoutMode(KEPRA_HANDLE H, uint32_t* Mode) KEPRA_NOEXCEPT;
/* Only the two low bits of Mode reach the sensor. Fails without a last error of its own on
 * an unknown sensor variant (nothing written) and for mode 3 on variant 0x0900 (register 11
 * is written, the tuning registers are not). */
KEPRA_API uint32_t KEPRA_CALL kepra_SetReadoutMode(KEPRA_HANDLE H, uint32_t Mode) KEPRA_NOEXCEPT;
/* Delivers the driver's HDR byte unchanged. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetHDR(KEPRA_HANDLE H, uint8_t* pHDR) KEPRA_NOEXCEPT;
/* Any non-zero HDR switches it on (the driver receives 1), zero off. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetHDR(KEPRA_HANDLE H, uint8_t HDR) KEPRA_NOEXCEPT;

/* ---- Snapshot, strobe and events ------------------------------------------------------
 * Invalid handle or null pointer: 87 with a debug line. All but kepra_CheckEventsState hold
 * the device lock. */

/* Snapshot: a timeout in milliseconds and an inverted flag, kept by the driver as one signed
 * 32-bit value: TimeoutMs, or its negation when Inverted is set (0x80000000 for Inverted with
 * timeout 0). Timeouts up to 0x7FFFFFFF read back as set. The getter reports 0x80000000 as
 * Inverted = 1, TimeoutMs = 0, and refuses null pointers in the order TimeoutMs, Inverted. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetSnapshotParams(KEPRA_HANDLE H, uint32_t* TimeoutMs,
                                                      uint8_t* Inverted) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetSnapshotParams(KEPRA_HANDLE H, uint32_t TimeoutMs,
                                                      uint8_t Inverted) KEPRA_NOEXCEPT;

/* Strobe: mode 0..3 (sensor register 11 bits 6-7), off and on delays (register 5 low and
 * high byte) and an inverted flag (register 7 bit 14); the other bits of registers 7 and 11
 * are kept. The getter refuses null pointers in the order StrobeMode, StrobeOffDelay,
 * StrobeOnDelay, Inverted ("StrobeMode is NULL" ...). The setter refuses a StrobeMode above 3
 * ("StrobeMode is not valid", 87) before it touches the camera; when register 7 cannot be read
 * it leaves the inverted flag alone and still sets the mode. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetStrobeParams(KEPRA_HANDLE H, uint32_t* StrobeMode,
                                                    uint8_t* StrobeOffDelay, uint8_t* StrobeOnDelay,
                                                    uint8_t* Inverted) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetStrobeParams(KEPRA_HANDLE H, uint32_t StrobeMode,
                                                    uint8_t StrobeOffDelay, uint8_t StrobeOnDelay,
                                                    uint8_t Inverted) KEPRA_NOEXCEPT;

/* Events state: one byte of event bits kept by the driver. The setter gives the bits selected
 * by Mask (only bits 0-3 count) the values they have in Bit and keeps the other bits, except
 * that a bit set in Bit outside the selection is cleared. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetEventsState(KEPRA_HANDLE H, uint8_t* Bit) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetEventsState(KEPRA_HANDLE H, uint8_t Bit,
                                                   uint8_t Mask) KEPRA_NOEXCEPT;

/* Searches the events of a frame-information record (event count: unsigned 16-bit,
 * little-endian, at byte offset 26; one event byte each from offset 48) for the first whose
 * Mask bits equal those of Bit. A count above 4000, the record's room for events, is read as
 * 4000. Returns its index, or -1 when there is none or FrameInfo is
 * null. Takes no handle and no lock and sets no last error. */
KEPRA_API int32_t KEPRA_CALL kepra_CheckEventsState(const void* FrameInfo, uint8_t Bit,
                                                    uint8_t Mask) KEPRA_NOEXCEPT;

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
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameParams(KEPRA_HANDLE H,
                                                   kepra_FrameParams* Params) KEPRA_NOEXCEPT;
/* Sends the record under the device lock (invalid handle: 0xC0000008 from the lock), then
 * lengthens the sensor's frame where the new setting needs it, even when the driver refused
 * the record. The result is the driver's answer to the record. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrameParams(KEPRA_HANDLE H,
                                                   const kepra_FrameParams* Params) KEPRA_NOEXCEPT;
/* Stream mode, a 32-bit value of the driver's. Invalid handle: 87. The setter holds the lock.
 * KEPRA_STREAM_FREE_RUNNING (0, the default): frames are delivered as the sensor produces them.
 * KEPRA_STREAM_SNAPSHOT (1): each frame request waits for a trigger and fails with
 * ERROR_SEM_TIMEOUT (121) when none comes within the snapshot timeout (kepra_SetSnapshotParams;
 * a timeout of 0 waits without limit). */
#define KEPRA_STREAM_FREE_RUNNING 0u
#define KEPRA_STREAM_SNAPSHOT 1u
KEPRA_API uint32_t KEPRA_CALL kepra_GetStreamMode(KEPRA_HANDLE H, uint32_t* Mode) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_SetStreamMode(KEPRA_HANDLE H, uint32_t Mode) KEPRA_NOEXCEPT;
/* Sends the LED state byte to the camera. Invalid handle: 6. No lock. */
KEPRA_API uint32_t KEPRA_CALL kepra_SwitchFrontLED(KEPRA_HANDLE H, uint8_t State) KEPRA_NOEXCEPT;

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
                                                    uint8_t* HasList) KEPRA_NOEXCEPT;
/* Switches correction on (Enable non-zero) or off; Previous, if not null, receives the
 * camera's reply: the switch as it was before (0 or 1). Invalid handle: 6. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetFixBadPixels(KEPRA_HANDLE H, uint8_t Enable,
                                                    uint8_t* Previous) KEPRA_NOEXCEPT;
/* Stores KEPRA_MAX_BAD_PIXELS. H is not looked at; a null Count fails without a last error. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetMaxBadPixelCount(KEPRA_HANDLE H,
                                                        uint16_t* Count) KEPRA_NOEXCEPT;
/* The number of entries in the camera's list. Invalid handle: 6. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetBadPixelCount(KEPRA_HANDLE H,
                                                     uint16_t* Count) KEPRA_NOEXCEPT;
/* Reads the list into Data, which holds Count entries; Delivered, if not null, receives the
 * number of whole entries the driver wrote. Handle and Data go to the request unchecked. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetBadPixelData(KEPRA_HANDLE H, kepra_BadPixel* Data,
                                                    uint16_t Count,
                                                    uint16_t* Delivered) KEPRA_NOEXCEPT;
/* Replaces the camera's list by Count entries (0 empties it); Reply, if not null, receives the
 * camera's answer: the number of entries it now keeps. Handle and Data go to the request
 * unchecked. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetBadPixelData(KEPRA_HANDLE H, const kepra_BadPixel* Data,
                                                    uint16_t Count, uint16_t* Reply) KEPRA_NOEXCEPT;

/* ---- Library version and error text -----------------------------------------------------
 * No handle, no lock, no request; callable from any thread at any time. */

/* The version of this header; kepra_GetLibraryVersion gives that of the library loaded. */
#define KEPRA_VERSION_MAJOR 0u
#define KEPRA_VERSION_MINOR 1u
#define KEPRA_VERSION_PATCH 0u
#define KEPRA_VERSION \
  ((KEPRA_VERSION_MAJOR << 16) | (KEPRA_VERSION_MINOR << 8) | KEPRA_VERSION_PATCH)

/* (major << 16) | (minor << 8) | patch of the library that is running. */
KEPRA_API uint32_t KEPRA_CALL kepra_GetLibraryVersion(void) KEPRA_NOEXCEPT;

/* Static English text for any last-error value the library, its platform layer or the driver
 * leaves: the code's name and what it means here, e.g. "ERROR_INVALID_PARAMETER: a value is out
 * of range or a required pointer is missing". A code it does not know gives a fixed text that
 * says so. Never null; the text must not be freed. */
KEPRA_API const char* KEPRA_CALL kepra_ErrorText(uint32_t Code) KEPRA_NOEXCEPT;

/* ---- Frame format ----------------------------------------------------------------------
 * What a frame of the current frame parameters looks like: a record whose first field is its
 * size, so that it can grow. The caller sets Size to sizeof(kepra_FrameFormat); a smaller Size
 * is refused (87) and fields beyond those this library knows are left alone. Reads the
 * frame-parameter record and the identity record under the device lock. Invalid handle: 6;
 * null Format: 487. Thread-safe. */
#define KEPRA_CFA_NONE 0u /* monochrome, or a binned colour frame (one Bayer site only) */
#define KEPRA_CFA_RGGB 1u /* Bayer order of the frame's first two lines, first two samples */
#define KEPRA_CFA_GRBG 2u
#define KEPRA_CFA_GBRG 3u
#define KEPRA_CFA_BGGR 4u
typedef struct kepra_FrameFormat {
  uint32_t Size;        /* set by the caller: sizeof(kepra_FrameFormat) */
  uint32_t Width;       /* samples per line: frame-parameter Width / BinX */
  uint32_t Height;      /* lines: Height / BinY */
  uint32_t BitDepth;    /* significant bits per sample: 8, 10 or 12 */
  uint32_t Bytes8;      /* Width * Height: a frame of kepra_GetFrame8 */
  uint32_t Bytes16;     /* Width * Height * 2 */
  uint32_t BytesEx8;    /* sizeof(kepra_FrameInfo) + Bytes8 */
  uint32_t BytesEx16;   /* sizeof(kepra_FrameInfo) + Bytes16 */
  uint32_t ColorFilter; /* KEPRA_CFA_*, after region offset, mirroring and flipping */
} kepra_FrameFormat;
KEPRA_STATIC_ASSERT(sizeof(kepra_FrameFormat) == 36, "kepra_FrameFormat is 36 bytes");
KEPRA_API uint32_t KEPRA_CALL kepra_GetFrameFormat(KEPRA_HANDLE H,
                                                   kepra_FrameFormat* Format) KEPRA_NOEXCEPT;

/* ---- Streams ------------------------------------------------------------------------------
 * A stream grabs frames on threads of its own into a pool of buffers, while the application
 * takes them with kepra_NextFrame (and gives them back with kepra_ReleaseFrame) or receives
 * them in a callback. The frame format (kepra_GetFrameFormat) is read once when the stream is
 * opened: reopen the stream after changing the frame parameters. The stream grabs on a device
 * handle of its own, so kepra_StopStream can cancel a grab that waits in the driver (a paced
 * camera between frames, a snapshot-mode camera waiting for its trigger) and return at once.
 * A camera hands a frame only to a request that waits for it. A stream with records whose
 * camera is in free-running mode at the start waits with one request until a frame goes
 * missing (a gap in the counters: the camera keeps its own pace and the host fell behind);
 * from then on it keeps up to three requests waiting, one per frame to come
 * (kepra_GetFrameAfterEx, one thread each; with 2 * N + 1 buffers or more, N of them), so the
 * host may be that many frame periods late before another frame is missed. Frames that
 * complete out of order are put back in counter order, unless a request is more than two
 * frames per waiting request behind the others. Otherwise one request waits at a time. A
 * waiting request holds a buffer of its own: library buffers have one beside the pool for
 * each (caller buffers lend one of theirs).
 *
 * Every stream function fails with ERROR_INVALID_HANDLE (6) for a null stream or one that was
 * closed; null required pointers: ERROR_INVALID_ADDRESS (487); a record whose Size is smaller
 * than the one of this header: ERROR_INVALID_PARAMETER (87).
 *
 * Thread safety: all stream functions may be called from any thread, at the same time, except
 * that kepra_CloseStream must be the last call on a stream (no other call on it may run or
 * follow) and must not be called from its own callback. Functions on different streams are
 * independent. The camera handle stays usable by other threads meanwhile (settings, grabs). */
typedef struct kepra_Stream* KEPRA_STREAM; /* opaque */

/* Frames queue oldest first; when no buffer is free a new frame is discarded (Dropped), so
 * nothing that was queued is lost while the pool lasts. */
#define KEPRA_STREAM_OLDEST_FIRST 0u
/* Only the newest frame waits: a new frame replaces one still waiting (Dropped counts the
 * replaced); for live view, where a fresh frame matters more than every frame. */
#define KEPRA_STREAM_NEWEST_ONLY 1u

/* Stream-specific last-error values (see kepra_ErrorText). */
#define KEPRA_ERROR_OPERATION_ABORTED 995u /* the stream is stopped (or was never started) */
#define KEPRA_ERROR_TIMEOUT 1460u          /* no frame within the time-out */
#define KEPRA_ERROR_INVALID_STATE 5023u    /* not in this state: e.g. started twice */
#define KEPRA_INFINITE 0xFFFFFFFFu         /* kepra_NextFrame: wait without limit */

typedef struct kepra_StreamConfig {
  uint32_t Size;        /* sizeof(kepra_StreamConfig) */
  uint32_t Depth;       /* 8 or 16 bits per sample, as kepra_GetFrame8 / kepra_GetFrame16 */
  uint32_t BufferCount; /* 0: 8; at most 1024 */
  uint32_t Strategy;    /* KEPRA_STREAM_OLDEST_FIRST / KEPRA_STREAM_NEWEST_ONLY */
  uint32_t WithInfo;    /* non-zero: frames carry their kepra_FrameInfo record (counter, time) */
  uint32_t BufferBytes; /* with Buffers: bytes of each caller buffer, at least the frame's */
  void* const* Buffers; /* null: the library allocates; else BufferCount caller buffers (8-byte
                           aligned), which must stay valid until kepra_CloseStream */
} kepra_StreamConfig;

typedef struct kepra_Frame {
  uint32_t Size;               /* set by the caller: sizeof(kepra_Frame) */
  uint32_t Buffer;             /* index of the buffer that holds it (caller's order) */
  const void* Samples;         /* Width * Height samples, Depth bits each */
  const kepra_FrameInfo* Info; /* its record in front of the samples, or null without records */
  uint64_t Sequence;           /* 0, 1, 2 ... per frame received since start; a gap = Dropped */
  uint32_t FrameCounter;       /* from the record (0 without) */
  uint32_t Reserved;
  uint64_t TimestampUs; /* camera time from the record (0 without) */
  uint64_t ArrivalUs;   /* host monotonic microseconds when the grab completed */
  uint32_t Width, Height, BitDepth, Depth;
  uint32_t Bytes; /* bytes of Samples */
} kepra_Frame;

typedef struct kepra_StreamStats {
  uint32_t Size;      /* set by the caller: sizeof(kepra_StreamStats) */
  uint32_t Running;   /* 1 between start and stop (0 once the camera went away) */
  uint64_t Received;  /* frames grabbed from the camera since start */
  uint64_t Delivered; /* frames handed to the application */
  uint64_t Skipped;   /* frames the camera produced that the stream never got: gaps in the
                         records' frame counter, across the 32-bit wrap (0 without records); a
                         frame that arrives after a newer one takes its gap back */
  uint64_t Dropped;   /* grabbed but discarded: no free buffer (oldest-first) or replaced
                         (newest-only) */
  uint64_t Failures;  /* failed grab requests (e.g. 121 for a trigger that did not come) */
  uint32_t LastError; /* of the last failed grab; 0: none */
  uint32_t Queued;    /* ready, not yet taken */
  uint32_t Held;      /* taken, not yet released */
  uint32_t Reserved;
} kepra_StreamStats;

/* Called on the stream's callback thread, one frame at a time, in queue order. The frame is
 * valid until the callback returns, then its buffer goes back to the pool: do not release it.
 * A slow callback holds one buffer; the grab thread goes on with the others. */
typedef void(KEPRA_CALL* kepra_FrameCallback)(const kepra_Frame* Frame, void* Context);

/* Opens a stream on an open camera: checks the configuration (Depth not 8 or 16, Strategy
 * unknown, BufferCount above 1024, or Buffers with a BufferCount of 0: 87; a null caller
 * buffer: 487), reads the frame format and allocates the pool. Caller buffers smaller than a
 * frame (BufferBytes below the frame's bytes, with the record when WithInfo) are refused with
 * ERROR_INSUFFICIENT_BUFFER (122) and nothing is grabbed. Returns null on failure (last error
 * set). Nothing is grabbed before kepra_StartStream. */
KEPRA_API KEPRA_STREAM KEPRA_CALL kepra_OpenStream(KEPRA_HANDLE H,
                                                   const kepra_StreamConfig* Config) KEPRA_NOEXCEPT;
/* Delivers frames to Callback (null: back to kepra_NextFrame) from the next start on. Only
 * while stopped (else 5023). With a callback set kepra_NextFrame fails with 5023. */
KEPRA_API uint32_t KEPRA_CALL kepra_SetFrameCallback(KEPRA_STREAM S, kepra_FrameCallback Callback,
                                                     void* Context) KEPRA_NOEXCEPT;
/* Starts grabbing: opens the stream's device handle and its threads. Frames still queued from
 * an earlier run are discarded and the statistics start again; frames the application still
 * holds stay its own until released. Already running: 5023. */
KEPRA_API uint32_t KEPRA_CALL kepra_StartStream(KEPRA_STREAM S) KEPRA_NOEXCEPT;
/* Takes the oldest queued frame into *Frame, waiting up to TimeoutMs (KEPRA_INFINITE: no
 * limit). Time-out: 0 with 1460. Stopped (or never started) with nothing queued: 0 with 995;
 * frames queued before a stop are still handed out. Camera gone: 0 with its error (1167) once
 * the queue is empty. The frame stays the caller's until kepra_ReleaseFrame. */
KEPRA_API uint32_t KEPRA_CALL kepra_NextFrame(KEPRA_STREAM S, kepra_Frame* Frame,
                                              uint32_t TimeoutMs) KEPRA_NOEXCEPT;
/* Gives a frame's buffer back to the pool. A frame not held by the application (released
 * twice, delivered to a callback, made up): 87. */
KEPRA_API uint32_t KEPRA_CALL kepra_ReleaseFrame(KEPRA_STREAM S,
                                                 const kepra_Frame* Frame) KEPRA_NOEXCEPT;
/* Stops grabbing and returns promptly: a grab waiting in the driver is cancelled; a running
 * callback is waited for (unless Stop is called from the callback itself). Wakes every
 * kepra_NextFrame waiting on the stream. Stopping a stopped stream succeeds. */
KEPRA_API uint32_t KEPRA_CALL kepra_StopStream(KEPRA_STREAM S) KEPRA_NOEXCEPT;
KEPRA_API uint32_t KEPRA_CALL kepra_GetStreamStats(KEPRA_STREAM S,
                                                   kepra_StreamStats* Stats) KEPRA_NOEXCEPT;
/* Stops the stream and frees it with its buffers (frames still held become invalid). */
KEPRA_API uint32_t KEPRA_CALL kepra_CloseStream(KEPRA_STREAM S) KEPRA_NOEXCEPT;

/* Reserved data symbol kept for binary compatibility; the library never reads or writes it. */
extern KEPRA_DATA uint8_t Conv16to8_inst[65536];

#ifdef __cplusplus
}
#endif

#endif /* KEPRA_KEPRA_H */
