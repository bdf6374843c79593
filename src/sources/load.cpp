#include "sources/load.hpp"

#include <utility>

#include "sources/alignment.hpp"
#include "sources/file.hpp"

namespace murello {

Result<LoadedAudio, CoreError> load_file(const std::filesystem::path& path,
                                         LoadRequest request) {
  // The file is read once: what the request leaves to the file comes from the decode.
  auto decoded = read_audio_file(path);
  if (!decoded) return std::move(decoded).error();
  SourceConfig& config = request.config;
  if (request.file_rate) config.sample_rate = decoded->sample_rate_hz;
  if (request.file_channels) {
    config.channels = config.channel_map ? static_cast<uint16_t>(config.channel_map->size())
                                         : decoded->channels;
  }
  const uint64_t input_frames = decoded->samples.size() / decoded->channels;
  auto source = FileSource::buffer(std::move(decoded->samples), decoded->sample_rate_hz,
                                   decoded->channels, config);
  if (!source) return std::move(source).error();
  auto whole = (*source)->read_all();
  if (!whole) return std::move(whole).error();
  if ((*source)->input_rate_hz() != config.sample_rate) {
    OutputAlignment alignment((*source)->delay_frames(), whole->channels,
                              (*source)->input_rate_hz(), config.sample_rate);
    alignment.finish(input_frames, whole->samples);
  }
  return LoadedAudio{std::move(whole->samples), whole->channels, config.sample_rate};
}

}  // namespace murello
