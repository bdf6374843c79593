#include "files/stream_save.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "files/saved_file.hpp"

namespace murello {

Result<std::optional<SaveCounts>, CoreError> save_stream(FileStream& stream,
                                                         const std::filesystem::path& path,
                                                         Container container,
                                                         uint8_t compression,
                                                         WorkProgress* progress) {
  auto file = SavedFile::create(path, container, stream.sample_rate_hz(), stream.channels(),
                                compression, stream.output_frames());
  if (!file) return std::move(file).error();
  std::vector<float> step;
  for (bool more = true; more;) {
    step.clear();
    auto next = stream.next(step);
    if (!next) return std::move(next).error();
    more = *next;
    if (auto appended = file->append(step); !appended) return std::move(appended).error();
    if (progress != nullptr) {
      progress->frames.fetch_add(step.size() / std::max<size_t>(stream.channels(), 1),
                                 std::memory_order_relaxed);
      if (progress->stop.load(std::memory_order_relaxed)) return std::optional<SaveCounts>();
    }
  }
  if (auto committed = file->commit(); !committed) return std::move(committed).error();
  return std::optional<SaveCounts>(file->counts());
}

}  // namespace murello
