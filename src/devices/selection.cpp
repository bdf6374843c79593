#include "devices/selection.hpp"

#include <vector>

#include "devices/lower_case.hpp"

namespace murello {
namespace {

constexpr const char* kAmbiguityHint =
    "\nUse a more specific name or pass the device index directly.";

// A selected device and its position in the listing it was found in; the default device
// is opened by name and has none.
struct Found {
  DeviceHandle device;
  std::optional<uint64_t> index;
};

CoreError not_found(Direction direction, const std::string& query) {
  return CoreError(direction == Direction::Capture ? ErrorKind::MicrophoneNotFound
                                                   : ErrorKind::SpeakerNotFound,
                   query);
}

Result<Found, CoreError> select_default(Direction direction) {
  auto device = default_device(direction);
  if (!device) {
    return CoreError(direction == Direction::Capture ? ErrorKind::NoMicrophoneFound
                                                     : ErrorKind::NoSpeakerFound);
  }
  return Found{*std::move(device), std::nullopt};
}

Result<Found, CoreError> select_index(uint64_t index, Direction direction) {
  auto devices = enumerate_devices(direction);
  if (!devices) return std::move(devices).error();
  if (index >= devices->size()) return CoreError(ErrorKind::DeviceIndexOutOfRange);
  return Found{std::move((*devices)[index]), index};
}

Result<Found, CoreError> select_name(const std::string& query, Direction direction) {
  auto devices = enumerate_devices(direction);
  if (!devices) return std::move(devices).error();
  const std::string wanted = lower_case(query);
  std::vector<size_t> matches;
  std::string candidates;
  for (size_t i = 0; i < devices->size(); ++i) {
    // A device without a readable name has the empty name: only "" matches it.
    const std::string name = device_name((*devices)[i]).value_or("");
    if (lower_case(name).find(wanted) == std::string::npos) continue;
    if (!matches.empty()) candidates += '\n';
    candidates += "  [" + std::to_string(i) + "] " + name;
    matches.push_back(i);
  }
  if (matches.empty()) return not_found(direction, query);
  if (matches.size() > 1) {
    return CoreError(ErrorKind::MultipleDevicesMatch, query, candidates + kAmbiguityHint);
  }
  return Found{std::move((*devices)[matches.front()]), matches.front()};
}

Result<Found, CoreError> select_id(const std::string& id, Direction direction) {
  auto devices = enumerate_devices(direction);
  if (!devices) return std::move(devices).error();
  for (size_t i = 0; i < devices->size(); ++i) {
    DeviceHandle& device = (*devices)[i];
    if (!device.pcm_name.empty() && "alsa:" + device.pcm_name == id) {
      return Found{std::move(device), i};
    }
  }
  return not_found(direction, id);
}

Result<Found, CoreError> find(const DeviceArgument& argument, Direction direction) {
  struct Resolve {
    Direction direction;
    Result<Found, CoreError> operator()(const DefaultDevice&) const {
      return select_default(direction);
    }
    Result<Found, CoreError> operator()(const DeviceIndex& form) const {
      return select_index(form.index, direction);
    }
    Result<Found, CoreError> operator()(const DeviceName& form) const {
      return select_name(form.query, direction);
    }
    Result<Found, CoreError> operator()(const DeviceId& form) const {
      return select_id(form.id, direction);
    }
  };
  return std::visit(Resolve{direction}, argument);
}

// The default device's entry in the listing, whose hint gives it its display name.
void place_in_listing(Found& found, Direction direction) {
  auto devices = enumerate_devices(direction);
  if (!devices) return;
  for (size_t i = 0; i < devices->size(); ++i) {
    if ((*devices)[i].pcm_name == found.device.pcm_name) {
      found.device = std::move((*devices)[i]);
      found.index = i;
      return;
    }
  }
}

}  // namespace

Result<DeviceHandle, CoreError> select_device(const DeviceArgument& argument,
                                              Direction direction) {
  auto found = find(argument, direction);
  if (!found) return std::move(found).error();
  return std::move(found->device);
}

DeviceResolver resolver_for(DeviceArgument argument, Direction direction) {
  return [argument = std::move(argument), direction] { return select_device(argument, direction); };
}

Result<SelectedDevice, CoreError> describe_selection(const DeviceArgument& argument,
                                                     Direction direction) {
  auto found = find(argument, direction);
  if (!found) return std::move(found).error();
  if (!found->index) place_in_listing(*found, direction);
  const DeviceHandle& device = found->device;
  SelectedDevice selected;
  selected.index = found->index;
  // Named as list_devices names it.
  auto name = device_name(device);
  selected.name = name ? *name : "Unknown Device " + std::to_string(found->index.value_or(0));
  if (!device.pcm_name.empty()) selected.id = "alsa:" + device.pcm_name;
  if (auto config = default_config(device, direction)) selected.config = *config;
  return selected;
}

}  // namespace murello
