// The virtual camera's handlers for the settings its driver keeps: HDR, events state,
// snapshot value, stream mode, front LED, frame parameters and the bad-pixel list with its
// correction switch. A get form sends no input and asks for the value; a set form sends the
// value and asks for nothing back (except where a request has a reply). Any other shape of
// request fails with 87, a short output buffer with 122.
#include <cstring>

#include "camera.h"

namespace vcam {
namespace {

constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;

Camera::Result Ok(std::uint32_t bytes = 0) { return {true, 0, bytes, false}; }
Camera::Result Error(std::uint32_t error) { return {false, error, 0, false}; }

enum class Form { kGet, kSet, kBad };

// Tells a get (no input) from a set (exactly `set_in` bytes) and checks the output size each
// form needs.
Form FormOf(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t get_out,
            std::size_t set_in, std::size_t set_out, Camera::Result* error) {
  if (in.empty() && set_in != 0) {
    if (out.size() < get_out) {
      *error = Error(kErrorInsufficientBuffer);
      return Form::kBad;
    }
    if (out.size() > get_out) {
      *error = Error(kErrorInvalidParameter);
      return Form::kBad;
    }
    return Form::kGet;
  }
  if (in.size() == set_in) {
    if (out.size() < set_out) {
      *error = Error(kErrorInsufficientBuffer);
      return Form::kBad;
    }
    if (out.size() > set_out) {
      *error = Error(kErrorInvalidParameter);
      return Form::kBad;
    }
    return Form::kSet;
  }
  *error = Error(kErrorInvalidParameter);
  return Form::kBad;
}

}  // namespace

Camera::Result Camera::ServeHdr(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, 1, 1, 0, &error)) {
    case Form::kGet:
      out[0] = settings_.hdr;
      return Ok(1);
    case Form::kSet:
      settings_.hdr = in[0];
      return Ok();
    default:
      return error;
  }
}

DriverSettings Camera::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void Camera::SetSettings(const DriverSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}

}  // namespace vcam
