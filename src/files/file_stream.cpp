#include "files/file_stream.hpp"

#include <algorithm>
#include <utility>

#include "files/decode_error.hpp"
#include "files/file.hpp"

namespace murello {

FileStream::FileStream(FileView view, AudioStreamDecoder decoder, std::optional<Chain> chain,
                       const SourceConfig& config, const StreamRequest& request)
    : view_(std::move(view)),
      decoder_(std::move(decoder)),
      chain_(std::move(chain)),
      step_frames_(std::max<size_t>(request.step_frames, 1)),
      input_rate_hz_(decoder_.header().sample_rate_hz),
      input_channels_(decoder_.header().channels),
      sample_rate_hz_(config.sample_rate),
      channels_(chain_ ? chain_->output_channels() : input_channels_),
      input_frames_(decoder_.header().frames) {
  if (request.aligned && chain_ && input_rate_hz_ != sample_rate_hz_) {
    alignment_.emplace(chain_->delay_frames(), channels_, input_rate_hz_, sample_rate_hz_);
  }
}

Result<std::unique_ptr<FileStream>, CoreError> FileStream::open(FileInput input,
                                                                const StreamRequest& request) {
  auto view = view_file(std::move(input));
  if (!view) return std::move(view).error();
  auto decoder = AudioStreamDecoder::open(view->bytes());
  if (!decoder) return core_error_from_decode(decoder.error());
  const AudioHeader& header = decoder->header();
  if (!rate_in_range(header.sample_rate_hz)) return CoreError(ErrorKind::SampleRateOutOfRange);
  SourceConfig config = request.config;
  if (request.file_rate) config.sample_rate = header.sample_rate_hz;
  if (request.file_channels) {
    config.channels = config.channel_map ? static_cast<uint16_t>(config.channel_map->size())
                                         : header.channels;
  }
  auto chain = build_file_chain(config, header.sample_rate_hz, header.channels);
  if (!chain) return std::move(chain).error();
  if (request.structural_only) {
    // The detector's signal, as FileSource::analyze makes it: only channel selection and
    // resampling, between the formats of the whole chain.
    const uint16_t delivered = *chain ? (*chain)->output_channels() : header.channels;
    ConditioningConfig structural;
    structural.channel_map = config.channel_map;
    const ChainFormat format{header.channels, delivered, header.sample_rate_hz,
                             config.sample_rate};
    chain = Chain::create(format, structural);
    if (!chain) return std::move(chain).error();
  }
  return std::unique_ptr<FileStream>(new FileStream(std::move(view).value(),
                                                    std::move(decoder).value(),
                                                    std::move(chain).value(), config,
                                                    request));
}

// Decodes until a whole step is in hand or the audio ends. A decode error ends the audio
// here and waits until the samples before it are out.
void FileStream::decode_step() {
  const size_t step_samples = step_frames_ * input_channels_;
  while (!decoded_all_ && input_.size() < step_samples) {
    const size_t missing_frames = (step_samples - input_.size()) / input_channels_;
    auto more = decoder_.next(missing_frames, input_);
    if (!more) {
      decode_error_ = core_error_from_decode(more.error());
      decoded_all_ = true;
    } else if (!*more) {
      decoded_all_ = true;
    }
  }
  view_.release_before(decoder_.consumed_bytes());
}

std::optional<uint64_t> FileStream::output_frames() const {
  if (!input_frames_) return std::nullopt;
  if (alignment_) return converted_frames(*input_frames_, input_rate_hz_, sample_rate_hz_);
  if (input_rate_hz_ == sample_rate_hz_) return input_frames_;
  return std::nullopt;
}

Result<bool, CoreError> FileStream::next(std::vector<float>& out) {
  if (ended_) return false;
  decode_step();
  const size_t from = out.size();
  if (!input_.empty()) {
    const size_t take = std::min(input_.size(), step_frames_ * input_channels_);
    const std::span<const float> block(input_.data(), take);
    if (chain_) {
      auto processed = chain_->process(block);
      if (!processed) return std::move(processed).error();
      out.insert(out.end(), processed->begin(), processed->end());
    } else {
      out.insert(out.end(), block.begin(), block.end());
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(take));
    input_frames_seen_ += take / input_channels_;
    if (alignment_) alignment_->take(out, from);
    return true;
  }
  if (decode_error_) {
    ended_ = true;
    return *std::move(decode_error_);
  }
  if (!flushed_) {
    flushed_ = true;
    if (chain_) {
      if (auto flushed = chain_->flush(out); !flushed) return std::move(flushed).error();
    }
    if (alignment_) alignment_->finish(input_frames_seen_, out, from);
    return true;
  }
  ended_ = true;
  if (auto checked = decoder_.finish(); !checked) return core_error_from_decode(checked.error());
  return false;
}

Result<std::optional<std::vector<float>>, CoreError> FileStream::next_block(size_t frames) {
  const size_t wanted = std::max<size_t>(frames, 1) * channels_;
  while (pending_.size() - pending_from_ < wanted && !ended_) {
    if (pending_from_ > 0) {  // what was handed out makes room for the next step
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pending_from_));
      pending_from_ = 0;
    }
    auto more = next(pending_);
    if (!more) {
      ended_ = true;
      // The samples before the error go out first.
      if (pending_.size() == pending_from_) return std::move(more).error();
      deferred_error_ = std::move(more).error();
    }
  }
  const size_t available = pending_.size() - pending_from_;
  if (available == 0) {
    if (deferred_error_) return *std::exchange(deferred_error_, std::nullopt);
    return std::optional<std::vector<float>>();
  }
  const size_t take = std::min(available, wanted);
  const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(pending_from_);
  std::vector<float> block(first, first + static_cast<std::ptrdiff_t>(take));
  pending_from_ += take;
  return std::optional<std::vector<float>>(std::move(block));
}

}  // namespace murello
