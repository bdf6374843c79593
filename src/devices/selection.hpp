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
// DeviceEnumerationFailed. Any thread may call select_device and describe_selection.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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

// How a stream finds its device at each start; its errors are the start's errors.
using DeviceResolver = std::function<Result<DeviceHandle, CoreError>()>;

// select_device of `argument`, afresh at each call.
DeviceResolver resolver_for(DeviceArgument argument, Direction direction);

// What a stream given `argument` would open now, as the listing shows it: the device's
// position in the listing (none for a default device the listing does not show), its
// display name, id and default configuration (0 Hz and 0 channels when that cannot be
// read, as in the listing). Fails as select_device does.
struct SelectedDevice {
  std::optional<uint64_t> index;
  std::string name;
  std::string id;  // "alsa:" + PCM name
  DefaultConfig config;
};

Result<SelectedDevice, CoreError> describe_selection(const DeviceArgument& argument,
                                                     Direction direction);

}  // namespace murello
