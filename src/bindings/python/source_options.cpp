#include "bindings/python/source_options.hpp"

#include "bindings/python/args.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/numpy.hpp"

namespace murello::py {

int convert_file_options(PyObject* const* v, SourceConfig* c, bool* numpy) {
  if (convert("sample_rate", v[0], to_uint32, &c->sample_rate) < 0 ||
      convert("channels", v[1], to_uint16, &c->channels) < 0 ||
      convert("channel_map", v[2], to_channel_map, &c->channel_map) < 0 ||
      convert("format", v[3], to_string, &c->format) < 0 ||
      convert("vad", v[4], to_bool, &c->vad) < 0 ||
      convert("vad_threshold", v[5], to_float, &c->vad_threshold) < 0 ||
      convert("vad_mode", v[6], to_string, &c->vad_mode) < 0 ||
      convert("vad_holdoff", v[7], to_uint32, &c->vad_holdoff) < 0 ||
      convert("model_path", v[8], to_path, &c->model_path) < 0 ||
      convert("numpy", v[9], to_bool, numpy) < 0 ||
      convert("ort_library_path", v[10], to_path, &c->ort_library_path) < 0 ||
      convert("denoise", v[11], to_string, &c->denoise) < 0 ||
      convert("denoise_model_path", v[12], to_path, &c->denoise_model_path) < 0 ||
      convert("highpass", v[13], to_int64, &c->highpass) < 0 ||
      convert("agc", v[14], to_int8, &c->agc) < 0 ||
      convert("limiter", v[15], to_float, &c->limiter) < 0 ||
      convert("dc_removal", v[16], to_bool, &c->dc_removal) < 0 ||
      convert("detector_source", v[17], to_uint16, &c->detector_source) < 0) {
    return -1;
  }
  return 0;
}

int check_file_config(const SourceConfig& config, bool numpy) {
  if (auto format = check_format(config); !format) {
    raise_config_error(format.error());
    return -1;
  }
  if (numpy && require_numpy() < 0) return -1;
  if (auto options = check_file_options(config); !options) {
    raise_config_error(options.error());
    return -1;
  }
  return 0;
}

}  // namespace murello::py
