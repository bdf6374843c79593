#include "options.hpp"

#include <alsa/pcm_external.h>

#include <cstring>
#include <string_view>

namespace testcard {
namespace {

int read_integer(snd_config_t* node, std::string_view key, uint64_t& out) {
  long long value = 0;
  if (snd_config_get_integer64(node, &value) < 0) {
    long small = 0;
    if (snd_config_get_integer(node, &small) < 0) {
      SNDERR("testcard: %.*s must be an integer", int(key.size()), key.data());
      return -EINVAL;
    }
    value = small;
  }
  if (value < 0) {
    SNDERR("testcard: %.*s must not be negative", int(key.size()), key.data());
    return -EINVAL;
  }
  out = static_cast<uint64_t>(value);
  return 0;
}

int read_real(snd_config_t* node, std::string_view key, double& out) {
  if (snd_config_get_ireal(node, &out) < 0) {
    SNDERR("testcard: %.*s must be a number", int(key.size()), key.data());
    return -EINVAL;
  }
  return 0;
}

int read_string(snd_config_t* node, std::string_view key, std::string& out) {
  const char* text = nullptr;
  if (snd_config_get_string(node, &text) < 0) {
    SNDERR("testcard: %.*s must be a string", int(key.size()), key.data());
    return -EINVAL;
  }
  out = text;
  return 0;
}

int read_u32(snd_config_t* node, std::string_view key, uint32_t& out) {
  uint64_t value = 0;
  int rc = read_integer(node, key, value);
  if (rc < 0) return rc;
  if (value > UINT32_MAX) {
    SNDERR("testcard: %.*s is too large", int(key.size()), key.data());
    return -EINVAL;
  }
  out = static_cast<uint32_t>(value);
  return 0;
}

int read_kind(snd_config_t* node, Kind& kind) {
  std::string text;
  int rc = read_string(node, "kind", text);
  if (rc < 0) return rc;
  if (text == "mic") {
    kind = Kind::Mic;
  } else if (text == "speaker") {
    kind = Kind::Speaker;
  } else if (text == "loop") {
    kind = Kind::Loop;
  } else {
    SNDERR("testcard: unknown kind %s", text.c_str());
    return -EINVAL;
  }
  return 0;
}

int read_option(snd_config_t* node, std::string_view key, Options& o) {
  uint64_t wide = 0;
  int rc = 0;
  if (key == "kind") return read_kind(node, o.kind);
  if (key == "rate") {
    rc = read_u32(node, key, o.rate_min_hz);
    o.rate_max_hz = o.rate_min_hz;
    return rc;
  }
  if (key == "rate_min") return read_u32(node, key, o.rate_min_hz);
  if (key == "rate_max") return read_u32(node, key, o.rate_max_hz);
  if (key == "channels") {
    rc = read_u32(node, key, o.channels_min);
    o.channels_max = o.channels_min;
    return rc;
  }
  if (key == "channels_min") return read_u32(node, key, o.channels_min);
  if (key == "channels_max") return read_u32(node, key, o.channels_max);
  if (key == "signal") return read_string(node, key, o.signal.kind);
  if (key == "frequency") return read_real(node, key, o.signal.frequency_hz);
  if (key == "amplitude") return read_real(node, key, o.signal.amplitude);
  if (key == "file") return read_string(node, key, o.signal.file);
  if (key == "record") return read_string(node, key, o.record_path);
  if (key == "stats") return read_string(node, key, o.stats_path);
  if (key == "open_error") {
    uint32_t value = 0;
    rc = read_u32(node, key, value);
    o.open_error = static_cast<int>(value);
    return rc;
  }
  if (key == "unplug_after") {
    rc = read_integer(node, key, wide);
    if (rc == 0) o.unplug_after_frames = wide;
    return rc;
  }
  if (key == "stall_at") {
    rc = read_integer(node, key, wide);
    if (rc == 0) o.stall_at_frame = wide;
    return rc;
  }
  if (key == "stall_ms") return read_u32(node, key, o.stall_ms);
  if (key == "clock_ppm") return read_real(node, key, o.clock_ppm);
  if (key == "mic_rate") return read_u32(node, key, o.mic_rate_hz);
  if (key == "mic_channels") return read_u32(node, key, o.mic_channels);
  if (key == "loop") return read_string(node, key, o.loop_name);
  if (key == "delay_ms") return read_u32(node, key, o.loop_delay_ms);
  if (key == "gain") return read_real(node, key, o.loop_gain);
  SNDERR("testcard: unknown field %.*s", int(key.size()), key.data());
  return -EINVAL;
}

}  // namespace

int parse_options(snd_config_t* conf, Options& options) {
  snd_config_iterator_t i = nullptr;
  snd_config_iterator_t next = nullptr;
  snd_config_for_each(i, next, conf) {
    snd_config_t* node = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(node, &id) < 0) continue;
    std::string_view key(id);
    if (key == "comment" || key == "type" || key == "hint") continue;
    int rc = read_option(node, key, options);
    if (rc < 0) return rc;
  }
  if (options.rate_min_hz == 0 || options.rate_min_hz > options.rate_max_hz ||
      options.channels_min == 0 || options.channels_min > options.channels_max) {
    SNDERR("testcard: empty rate or channel range");
    return -EINVAL;
  }
  if (options.kind == Kind::Loop &&
      (options.loop_name.empty() || options.rate_min_hz != options.rate_max_hz)) {
    SNDERR("testcard: a loop needs a name and a single rate");
    return -EINVAL;
  }
  return 0;
}

}  // namespace testcard
