// The camera's settings for the page: what they are with their limits, and changing them.
#pragma once

#include <kepra/kepra.h>

#include <cstdint>
#include <string>

#include "protocol.h"

namespace kepra_view {

// The settings and limits as a JSON object; a value that cannot be read is null and named
// in "errors".
std::string DescribeCamera(KEPRA_HANDLE h, std::uint32_t index);

// Applies a decoded "set" request. Empty on success, else the failing call with its last error.
std::string ApplySetting(KEPRA_HANDLE h, const Request& request);

// "87 ERROR_INVALID_PARAMETER" style text of a last-error value.
std::string ErrorText(std::uint32_t code);

// Whether a setting changes the size or depth of frames.
inline bool ChangesFrameSize(Setting s) { return s == Setting::kFrameParams; }

}  // namespace kepra_view
