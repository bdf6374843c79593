#include "devices/device.hpp"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <memory>

namespace murello {
namespace {

constexpr uint32_t kPreferredRateHz = 44100;
constexpr const char* kDefaultPcm = "default";

// ALSA prints plugin failures (for example of a sound server that is not running) to
// stderr; a listing that skips such devices should not.
void quiet_alsa_errors(const char*, int, const char*, int, const char*, ...) {}

void silence_alsa() { snd_lib_error_set_handler(quiet_alsa_errors); }

snd_pcm_stream_t alsa_stream(Direction direction) {
  return direction == Direction::Capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HintsFreer {
  void operator()(void** hints) const { snd_device_name_free_hint(hints); }
};

struct HwParamsFreer {
  void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};

struct CharFreer {
  void operator()(char* text) const { free(text); }
};
using AlsaText = std::unique_ptr<char, CharFreer>;

Result<PcmPtr, CoreError> open_nonblocking(const std::string& pcm_name, Direction direction) {
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, pcm_name.c_str(), alsa_stream(direction), SND_PCM_NONBLOCK);
  if (rc < 0) return CoreError(ErrorKind::StreamOpenFailed, snd_strerror(rc));
  return PcmPtr(pcm);
}

bool hint_matches(const char* ioid, Direction direction) {
  if (ioid == nullptr) return true;  // no IOID: both directions
  std::string_view io(ioid);
  return direction == Direction::Capture ? io == "Input" : io == "Output";
}

std::string join_lines(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

}  // namespace

std::optional<DeviceHandle> default_device(Direction direction) {
  silence_alsa();
  if (!open_nonblocking(kDefaultPcm, direction).ok()) return std::nullopt;
  return DeviceHandle{kDefaultPcm, std::nullopt};
}

Result<std::vector<DeviceHandle>, CoreError> enumerate_devices(Direction direction) {
  silence_alsa();
  void** raw = nullptr;
  int rc = snd_device_name_hint(-1, "pcm", &raw);
  if (rc < 0) return CoreError(ErrorKind::DeviceEnumerationFailed, snd_strerror(rc));
  std::unique_ptr<void*, HintsFreer> hints(raw);

  std::vector<DeviceHandle> devices;
  for (void** hint = raw; *hint != nullptr; ++hint) {
    AlsaText name(snd_device_name_get_hint(*hint, "NAME"));
    if (!name) continue;
    AlsaText ioid(snd_device_name_get_hint(*hint, "IOID"));
    if (!hint_matches(ioid.get(), direction)) continue;
    AlsaText desc(snd_device_name_get_hint(*hint, "DESC"));
    DeviceHandle device{name.get(), std::nullopt};
    if (desc) device.description = join_lines(desc.get());
    devices.push_back(std::move(device));
  }
  return devices;
}

std::optional<std::string> device_name(const DeviceHandle& device) {
  if (device.description && !device.description->empty()) return device.description;
  if (device.pcm_name.empty()) return std::nullopt;
  return device.pcm_name;
}

Result<SupportedConfig, CoreError> supported_config(const DeviceHandle& device,
                                                    Direction direction) {
  silence_alsa();
  auto pcm = open_nonblocking(device.pcm_name, direction);
  if (!pcm) return std::move(pcm).error();

  snd_pcm_hw_params_t* raw = nullptr;
  if (snd_pcm_hw_params_malloc(&raw) < 0) {
    return CoreError(ErrorKind::StreamOpenFailed, "out of memory");
  }
  std::unique_ptr<snd_pcm_hw_params_t, HwParamsFreer> params(raw);
  int rc = snd_pcm_hw_params_any(pcm->get(), raw);
  if (rc < 0) return CoreError(ErrorKind::StreamOpenFailed, snd_strerror(rc));

  SupportedConfig config;
  unsigned int value = 0;
  int dir = 0;
  if (snd_pcm_hw_params_get_channels_min(raw, &value) < 0) {
    return CoreError(ErrorKind::StreamOpenFailed, "channel range unavailable");
  }
  config.min_channels = value;
  if (snd_pcm_hw_params_get_channels_max(raw, &value) < 0) {
    return CoreError(ErrorKind::StreamOpenFailed, "channel range unavailable");
  }
  config.max_channels = value;
  if (snd_pcm_hw_params_get_rate_min(raw, &value, &dir) < 0) {
    return CoreError(ErrorKind::StreamOpenFailed, "rate range unavailable");
  }
  config.min_rate_hz = value;
  if (snd_pcm_hw_params_get_rate_max(raw, &value, &dir) < 0) {
    return CoreError(ErrorKind::StreamOpenFailed, "rate range unavailable");
  }
  config.max_rate_hz = value;
  config.float32 = snd_pcm_hw_params_test_format(pcm->get(), raw, SND_PCM_FORMAT_FLOAT_LE) == 0;
  return config;
}

std::optional<DefaultConfig> choose_default_config(const SupportedConfig& supported) {
  if (supported.max_channels == 0) return std::nullopt;
  DefaultConfig config;
  config.channels =
      static_cast<uint16_t>(std::min<uint32_t>(supported.max_channels, kMaxStreamChannels));
  bool has_preferred =
      supported.min_rate_hz <= kPreferredRateHz && kPreferredRateHz <= supported.max_rate_hz;
  config.sample_rate_hz = has_preferred ? kPreferredRateHz : supported.max_rate_hz;
  return config;
}

Result<DefaultConfig, CoreError> default_config(const DeviceHandle& device, Direction direction) {
  auto supported = supported_config(device, direction);
  if (!supported) return std::move(supported).error();
  auto config = choose_default_config(*supported);
  if (!config) return CoreError(ErrorKind::StreamOpenFailed, "device offers no channels");
  return *config;
}

Result<std::vector<DeviceDescription>, CoreError> list_devices(Direction direction) {
  std::optional<DeviceHandle> default_pcm = default_device(direction);
  auto devices = enumerate_devices(direction);
  if (!devices) return std::move(devices).error();

  std::vector<DeviceDescription> listing;
  listing.reserve(devices->size());
  for (size_t i = 0; i < devices->size(); ++i) {
    const DeviceHandle& device = (*devices)[i];
    DeviceDescription entry;
    entry.index = i;
    auto name = device_name(device);
    entry.name = name ? *name : "Unknown Device " + std::to_string(i);
    if (!device.pcm_name.empty()) entry.id = "alsa:" + device.pcm_name;
    if (auto config = default_config(device, direction)) {
      entry.max_channels = config->channels;
      entry.default_sample_rate_hz = config->sample_rate_hz;
    }
    entry.is_default =
        !device.pcm_name.empty() && default_pcm && default_pcm->pcm_name == device.pcm_name;
    listing.push_back(std::move(entry));
  }
  return listing;
}

}  // namespace murello
