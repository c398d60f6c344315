// The camera protocol, shared by the library and the virtual camera and nothing else of
// either: the driver's control codes and the buffer sizes each request uses, the layout of
// the records the driver exchanges, the POSIX channel's wire format, and the little-endian
// byte helpers all of them use. Includes nothing of the library.
//
// Codes follow the Windows CTL_CODE layout: device type 0x22, METHOD_BUFFERED, functions
// 0xF00..0xF3D; 0x223Cxx needs any access, 0x227Cxx read access, 0x22BCxx write access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kepra::protocol {

// ---- Little-endian fields. Records may sit at any address, so they go byte by byte.
constexpr void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
constexpr void PutU32(std::uint8_t* p, std::uint32_t v) {
  PutU16(p, static_cast<std::uint16_t>(v));
  PutU16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
constexpr std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(GetU16(p)) | (static_cast<std::uint32_t>(GetU16(p + 2)) << 16);
}

// ---- POSIX device channel: one request at a time per connection.
//   request: u32 control code, u32 input length, u32 output length, input bytes
//   reply:   u32 status (1 success, 0 failure), u32 Win32 error (on failure),
//            u32 bytes returned (at most the output length), that many output bytes
constexpr std::size_t kRequestHeaderSize = 12;
constexpr std::size_t kReplyHeaderSize = 12;

// ---- The frame-information record in front of Ex and AfterEx frames.
constexpr std::uint32_t kFrameInfoSize = 4096;
constexpr std::size_t kFrameInfoEventCountOffset = 26;   // u16
constexpr std::size_t kFrameInfoEventsOffset = 48;       // one byte per event
constexpr std::uint16_t kFrameInfoMaxEvents = 4000;      // the record's room for event bytes
constexpr std::size_t kFrameInfoFrequencyOffset = 4048;  // u16, sensor clock in MHz
constexpr std::size_t kFrameInfoFactorAOffset = 4060;    // u16, exposure lines
constexpr std::size_t kFrameInfoFactorBOffset = 4064;    // u16, line length
// The bytes a reader of the record needs: up to the end of the last field it reads.
constexpr std::size_t kFrameInfoMinSize = kFrameInfoFactorBOffset + 2;

// The shortest buffer the driver serves its log text into.
constexpr std::uint32_t kDriverLogMinimum = 21;

constexpr std::uint32_t IOCTL_CHECK_ID = 0x223C00;
constexpr std::uint32_t IOCTL_DEVICE_RESET = 0x223C04;
constexpr std::uint32_t IOCTL_SPI_READ_PAGE = 0x223C10;
constexpr std::uint32_t IOCTL_SPI_WRITE_PAGE = 0x223C14;
constexpr std::uint32_t IOCTL_SPI_ERASE_SECTOR = 0x223C18;
constexpr std::uint32_t IOCTL_STREAM_MODE = 0x223C2C;
constexpr std::uint32_t IOCTL_SENSOR_REG = 0x223C30;
constexpr std::uint32_t IOCTL_FRAME_PARAMS = 0x223C34;
constexpr std::uint32_t IOCTL_HDR = 0x223C38;
constexpr std::uint32_t IOCTL_FIX_BAD_PIXELS = 0x223C3C;
constexpr std::uint32_t IOCTL_EVENTS_STATE = 0x223C48;
constexpr std::uint32_t IOCTL_SENSOR_REGS = 0x223C4C;
constexpr std::uint32_t IOCTL_USB_SPEED = 0x223C54;
constexpr std::uint32_t IOCTL_FRONT_LED = 0x223C60;
constexpr std::uint32_t IOCTL_SNAPSHOT_PARAMS = 0x223C68;
constexpr std::uint32_t IOCTL_DRIVER_VERSION = 0x223C6C;
constexpr std::uint32_t IOCTL_GET_FRAME16 = 0x227C20;
constexpr std::uint32_t IOCTL_GET_FRAME_AFTER_EX16 = 0x227C24;
constexpr std::uint32_t IOCTL_GET_FRAME_EX16 = 0x227C28;
constexpr std::uint32_t IOCTL_DEVICE_INDEX = 0x227C70;
constexpr std::uint32_t IOCTL_FREQUENCY = 0x227C74;
constexpr std::uint32_t IOCTL_IDENTDATA = 0x227C78;
constexpr std::uint32_t IOCTL_FW_VERSION = 0x227C80;
constexpr std::uint32_t IOCTL_DRV_LOG_MSG = 0x227C9C;
constexpr std::uint32_t IOCTL_POST_TEST_FW_ERROR = 0x227CA0;
constexpr std::uint32_t IOCTL_GET_FRAME8 = 0x227CA4;
constexpr std::uint32_t IOCTL_GET_FRAME_AFTER_EX8 = 0x227CA8;
constexpr std::uint32_t IOCTL_GET_FRAME_EX8 = 0x227CAC;
constexpr std::uint32_t IOCTL_GET_BAD_PIXELS_COUNT = 0x227CEC;
constexpr std::uint32_t IOCTL_GET_BAD_PIXELS_DATA = 0x227CF0;
constexpr std::uint32_t IOCTL_SET_IDENTDATA = 0x22BC7C;
constexpr std::uint32_t IOCTL_SET_BAD_PIXELS_DATA = 0x22BCF4;

// Sizes of a request's buffers. kCaller means the caller chooses the length; kPerEntry means
// a multiple of the 5-byte bad-pixel entry. A code with a separate set form lists it in the
// set_ fields; codes with one form repeat the get sizes there.
constexpr std::uint32_t kCaller = 0xFFFFFFFF;
constexpr std::uint32_t kPerEntry = 0xFFFFFFFE;

struct ControlCode {
  std::string_view name;
  std::uint32_t code;
  std::uint32_t get_in, get_out;  // read form (or the only form)
  std::uint32_t set_in, set_out;  // write form
};

inline constexpr ControlCode kControlCodes[] = {
    {"IOCTL_CHECK_ID", IOCTL_CHECK_ID, 0, kCaller, 0, kCaller},
    {"IOCTL_DEVICE_RESET", IOCTL_DEVICE_RESET, 0, 0, 0, 0},
    {"IOCTL_SPI_READ_PAGE", IOCTL_SPI_READ_PAGE, 4, 256, 4, 256},
    {"IOCTL_SPI_WRITE_PAGE", IOCTL_SPI_WRITE_PAGE, 260, 0, 260, 0},
    {"IOCTL_SPI_ERASE_SECTOR", IOCTL_SPI_ERASE_SECTOR, 4, 0, 4, 0},
    {"IOCTL_STREAM_MODE", IOCTL_STREAM_MODE, 0, 4, 4, 0},
    {"IOCTL_SENSOR_REG", IOCTL_SENSOR_REG, 2, 2, 4, 0},
    {"IOCTL_FRAME_PARAMS", IOCTL_FRAME_PARAMS, 0, 26, 26, 0},
    {"IOCTL_HDR", IOCTL_HDR, 0, 1, 1, 0},
    {"IOCTL_FIX_BAD_PIXELS", IOCTL_FIX_BAD_PIXELS, 0, 2, 1, 1},
    {"IOCTL_EVENTS_STATE", IOCTL_EVENTS_STATE, 0, 1, 1, 0},
    {"IOCTL_SENSOR_REGS", IOCTL_SENSOR_REGS, 4, 46, 4, 46},
    {"IOCTL_USB_SPEED", IOCTL_USB_SPEED, 0, 4, 0, 8},
    {"IOCTL_FRONT_LED", IOCTL_FRONT_LED, 1, 0, 1, 0},
    {"IOCTL_SNAPSHOT_PARAMS", IOCTL_SNAPSHOT_PARAMS, 0, 4, 4, 0},
    {"IOCTL_DRIVER_VERSION", IOCTL_DRIVER_VERSION, 0, 4, 0, 4},
    {"IOCTL_GET_FRAME16", IOCTL_GET_FRAME16, 0, kCaller, 0, kCaller},
    {"IOCTL_GET_FRAME_AFTER_EX16", IOCTL_GET_FRAME_AFTER_EX16, 4, kCaller, 4, kCaller},
    {"IOCTL_GET_FRAME_EX16", IOCTL_GET_FRAME_EX16, 0, kCaller, 0, kCaller},
    {"IOCTL_DEVICE_INDEX", IOCTL_DEVICE_INDEX, 0, 4, 0, 4},
    {"IOCTL_FREQUENCY", IOCTL_FREQUENCY, 0, 4, 4, 0},
    {"IOCTL_IDENTDATA", IOCTL_IDENTDATA, 0, 78, 0, 78},
    {"IOCTL_FW_VERSION", IOCTL_FW_VERSION, 0, 12, 0, 12},
    {"IOCTL_DRV_LOG_MSG", IOCTL_DRV_LOG_MSG, 0, kCaller, 0, kCaller},
    {"IOCTL_POST_TEST_FW_ERROR", IOCTL_POST_TEST_FW_ERROR, 0, 0, 0, 0},
    {"IOCTL_GET_FRAME8", IOCTL_GET_FRAME8, 0, kCaller, 0, kCaller},
    {"IOCTL_GET_FRAME_AFTER_EX8", IOCTL_GET_FRAME_AFTER_EX8, 4, kCaller, 4, kCaller},
    {"IOCTL_GET_FRAME_EX8", IOCTL_GET_FRAME_EX8, 0, kCaller, 0, kCaller},
    {"IOCTL_GET_BAD_PIXELS_COUNT", IOCTL_GET_BAD_PIXELS_COUNT, 0, 2, 0, 2},
    {"IOCTL_GET_BAD_PIXELS_DATA", IOCTL_GET_BAD_PIXELS_DATA, 0, kPerEntry, 0, kPerEntry},
    {"IOCTL_SET_IDENTDATA", IOCTL_SET_IDENTDATA, 78, 0, 78, 0},
    {"IOCTL_SET_BAD_PIXELS_DATA", IOCTL_SET_BAD_PIXELS_DATA, kPerEntry, 2, kPerEntry, 2},
};

constexpr const ControlCode* FindControlCode(std::uint32_t code) {
  for (const ControlCode& entry : kControlCodes) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace kepra::protocol
