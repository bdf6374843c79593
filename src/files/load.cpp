#include "files/load.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "audiofile/stream_decoder.hpp"
#include "files/alignment.hpp"
#include "files/decode_error.hpp"
#include "files/file.hpp"
#include "files/file_io.hpp"

namespace murello {
namespace {

uint64_t frames_in(double seconds, uint32_t rate_hz) {
  const double frames = std::round(seconds * rate_hz);
  return frames >= 1.8e19 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(frames);
}

// The span of the file a request names, decoded piece by piece from where it starts.
Result<DecodedAudio, CoreError> read_audio_span(FileInput input, const LoadRequest& request) {
  auto view = view_file(std::move(input));
  if (!view) return std::move(view).error();
  auto decoder = AudioStreamDecoder::open(view->bytes());
  if (!decoder) return core_error_from_decode(decoder.error());
  DecodedAudio audio;
  audio.sample_rate_hz = decoder->header().sample_rate_hz;
  audio.channels = decoder->header().channels;
  if (!rate_in_range(audio.sample_rate_hz)) return CoreError(ErrorKind::SampleRateOutOfRange);
  const uint64_t first = frames_in(request.offset_s.value_or(0.0), audio.sample_rate_hz);
  const uint64_t wanted = request.duration_s
                              ? frames_in(*request.duration_s, audio.sample_rate_hz)
                              : std::numeric_limits<uint64_t>::max();
  if (auto sought = decoder->seek(first); !sought) return core_error_from_decode(sought.error());
  constexpr size_t kPieceFrames = size_t{1} << 16;
  while (audio.samples.size() / audio.channels < wanted) {
    const uint64_t missing = wanted - audio.samples.size() / audio.channels;
    auto more = decoder->next(static_cast<size_t>(std::min<uint64_t>(missing, kPieceFrames)),
                              audio.samples);
    if (!more) return core_error_from_decode(more.error());
    if (!*more) {
      if (auto checked = decoder->finish(); !checked) {
        return core_error_from_decode(checked.error());
      }
      break;
    }
  }
  if (audio.samples.size() / audio.channels > wanted) {
    audio.samples.resize(static_cast<size_t>(wanted) * audio.channels);
  }
  return audio;
}

}  // namespace

Result<LoadedAudio, CoreError> load_file(FileInput input, LoadRequest request) {
  // The file is read once: what the request leaves to the file comes from the decode.
  auto decoded = request.offset_s || request.duration_s
                     ? read_audio_span(std::move(input), request)
                     : read_audio_file(std::move(input));
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
