#include "sources/load.hpp"

#include <utility>

#include "sources/file.hpp"
#include "sources/file_header.hpp"

namespace murello {

Result<LoadedAudio, CoreError> load_file(const std::filesystem::path& path,
                                         LoadRequest request) {
  SourceConfig& config = request.config;
  if (request.file_rate || request.file_channels) {
    // The header's own errors are those the decoder meets first, so they come out as
    // FileSource::open would report them.
    auto header = read_file_header(path);
    if (!header) return std::move(header).error();
    if (request.file_rate) config.sample_rate = header->sample_rate_hz;
    if (request.file_channels) {
      config.channels = config.channel_map ? static_cast<uint16_t>(config.channel_map->size())
                                           : header->channels;
    }
  }
  auto source = FileSource::open(path, config);
  if (!source) return std::move(source).error();
  auto whole = (*source)->read_all();
  if (!whole) return std::move(whole).error();
  return LoadedAudio{std::move(whole->samples), whole->channels, config.sample_rate};
}

}  // namespace murello
