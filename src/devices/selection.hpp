// Device selection: which device of a direction a stream opens, resolved afresh at each
// start against the current device list, so that devices plugged in or out since the
// caller named one are seen.
//
// A device argument is stored as the caller gave it, in one of four forms:
//   none   the default device of the direction;
//   index  a position in the listing order (device.hpp);
//   name   a query text, matched case-insensitively (full Unicode lower-casing) as a
//          substring of each device's display name; it must match exactly one device;
//   id     the `id` of a listed device ("alsa:" + PCM name), compared byte for byte.
//
// Errors: NoMicrophoneFound / NoSpeakerFound (no default), DeviceIndexOutOfRange,
// MicrophoneNotFound / SpeakerNotFound (no name or id matches; carries the query as
// given), MultipleDevicesMatch (with one "  [index] name" line per candidate and a hint),
// DeviceEnumerationFailed. Any thread may call select_device.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "core/error.hpp"
#include "devices/device.hpp"
#include "util/result.hpp"

namespace murello {

struct DefaultDevice {};
struct DeviceIndex {
  uint64_t index = 0;
};
struct DeviceName {
  std::string query;
};
struct DeviceId {
  std::string id;
};

using DeviceArgument = std::variant<DefaultDevice, DeviceIndex, DeviceName, DeviceId>;

Result<DeviceHandle, CoreError> select_device(const DeviceArgument& argument,
                                              Direction direction);

}  // namespace murello
