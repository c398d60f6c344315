// What the library reads out of the camera's 78-byte identity record: the model row selected
// by the model code, and the six leading bytes reported by the extended camera info.
#pragma once

#include <cstdint>

namespace kepra::core {

constexpr std::uint32_t kIdentDataSize = 78;
constexpr std::uint32_t kModelCodeByte = 2;

struct ModelRow {
  std::uint8_t code;  // identity byte 2; 0 in the fallback row
  std::uint32_t color;
  std::uint32_t width;
  std::uint32_t height;
  const char* name;  // at most 19 characters
};

inline constexpr ModelRow kModels[] = {
    {'4', 0, 1280, 1024, "KEPRA-A1 Mono"},  {'5', 1, 1280, 1024, "KEPRA-A1 Color"},
    {'6', 0, 1280, 1024, "KEPRA-A1 IR"},    {'7', 0, 1600, 1200, "KEPRA-A2 Mono"},
    {'8', 1, 1600, 1200, "KEPRA-A2 Color"},
};
// A camera whose identity record was never written describes itself with this row.
inline constexpr ModelRow kUnflashedModel = {0, 0, 1600, 1200, "KEPRA-Axx unflashed"};

constexpr const ModelRow& LookUpModel(std::uint8_t model_code) {
  for (const ModelRow& row : kModels) {
    if (row.code == model_code) return row;
  }
  return kUnflashedModel;
}

struct IdentFields {
  std::uint16_t model_code;
  std::uint16_t byte3;
  std::uint32_t word;
  std::uint16_t byte4;
  std::uint16_t byte5;
};

constexpr IdentFields DecodeIdentFields(const std::uint8_t (&ident)[kIdentDataSize]) {
  return {ident[2], ident[3], static_cast<std::uint32_t>(ident[0] | ident[1] << 8), ident[4],
          ident[5]};
}

}  // namespace kepra::core
