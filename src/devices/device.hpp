// The audio device layer's listing side, over ALSA: device hints, display names,
// default and supported configurations.
//
// Conventions: rates are in Hz, channel counts are per frame. Every function here may
// be called from any thread; none keeps a PCM open after it returns. PCMs are opened
// non-blocking for queries, so plugins whose servers are not running fail fast and are
// skipped rather than stalling the listing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "util/result.hpp"

namespace murello {

enum class Direction { Capture, Playback };

// The most channels a stream may have on this platform.
inline constexpr uint16_t kMaxStreamChannels = 16383;

// A device that can be opened later by its ALSA PCM name.
struct DeviceHandle {
  std::string pcm_name;
  std::optional<std::string> description;  // from the device hint, lines joined by spaces
};

// What a device allows in one direction.
struct SupportedConfig {
  uint32_t min_channels = 0;
  uint32_t max_channels = 0;
  uint32_t min_rate_hz = 0;
  uint32_t max_rate_hz = 0;
  bool float32 = false;  // whether FLOAT_LE is offered
};

struct DefaultConfig {
  uint16_t channels = 0;
  uint32_t sample_rate_hz = 0;
};

// One entry of the listing shown to Python.
struct DeviceDescription {
  uint64_t index = 0;
  std::string name;
  std::string id;  // "alsa:" + PCM name
  uint32_t default_sample_rate_hz = 0;
  uint16_t max_channels = 0;
  bool is_default = false;
};

// The default device of the direction, or none when the system has none that opens.
std::optional<DeviceHandle> default_device(Direction direction);

// The devices of the direction in the order of ALSA's device hints.
Result<std::vector<DeviceHandle>, CoreError> enumerate_devices(Direction direction);

// The display name: the hint's description, else the PCM name; none when it has neither.
std::optional<std::string> device_name(const DeviceHandle& device);

Result<SupportedConfig, CoreError> supported_config(const DeviceHandle& device,
                                                    Direction direction);

// The configuration a device is opened with when the caller names none: 44100 Hz when
// the device allows it, else its highest rate; its most channels, never above
// kMaxStreamChannels. None when the device offers no channels.
std::optional<DefaultConfig> choose_default_config(const SupportedConfig& supported);

Result<DefaultConfig, CoreError> default_config(const DeviceHandle& device, Direction direction);

// The whole listing of one direction, with placeholder names and 0/0 configurations for
// devices that cannot be read. Fails only when enumeration itself fails.
Result<std::vector<DeviceDescription>, CoreError> list_devices(Direction direction);

}  // namespace murello
