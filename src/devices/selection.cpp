#include "devices/selection.hpp"

#include <vector>

#include "devices/lower_case.hpp"

namespace murello {
namespace {

constexpr const char* kAmbiguityHint =
    "\nUse a more specific name or pass the device index directly.";

CoreError not_found(Direction direction, const std::string& query) {
  return CoreError(direction == Direction::Capture ? ErrorKind::MicrophoneNotFound
                                                   : ErrorKind::SpeakerNotFound,
                   query);
}

Result<DeviceHandle, CoreError> select_default(Direction direction) {
  auto device = default_device(direction);
  if (!device) {
    return CoreError(direction == Direction::Capture ? ErrorKind::NoMicrophoneFound
                                                     : ErrorKind::NoSpeakerFound);
  }
  return *std::move(device);
}

Result<DeviceHandle, CoreError> select_index(uint64_t index, Direction direction) {
  auto devices = enumerate_devices(direction);
  if (!devices) return std::move(devices).error();
  if (index >= devices->size()) return CoreError(ErrorKind::DeviceIndexOutOfRange);
  return std::move((*devices)[index]);
}

Result<DeviceHandle, CoreError> select_name(const std::string& query, Direction direction) {
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
  return std::move((*devices)[matches.front()]);
}

Result<DeviceHandle, CoreError> select_id(const std::string& id, Direction direction) {
  auto devices = enumerate_devices(direction);
  if (!devices) return std::move(devices).error();
  for (DeviceHandle& device : *devices) {
    if (!device.pcm_name.empty() && "alsa:" + device.pcm_name == id) return std::move(device);
  }
  return not_found(direction, id);
}

}  // namespace

Result<DeviceHandle, CoreError> select_device(const DeviceArgument& argument,
                                              Direction direction) {
  struct Resolve {
    Direction direction;
    Result<DeviceHandle, CoreError> operator()(const DefaultDevice&) const {
      return select_default(direction);
    }
    Result<DeviceHandle, CoreError> operator()(const DeviceIndex& form) const {
      return select_index(form.index, direction);
    }
    Result<DeviceHandle, CoreError> operator()(const DeviceName& form) const {
      return select_name(form.query, direction);
    }
    Result<DeviceHandle, CoreError> operator()(const DeviceId& form) const {
      return select_id(form.id, direction);
    }
  };
  return std::visit(Resolve{direction}, argument);
}

}  // namespace murello
