#include "files/file_analysis.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "files/file_stream.hpp"

namespace murello {

Result<Analysis, CoreError> analyze_file(const std::filesystem::path& path,
                                               const SourceConfig& config,
                                               WorkProgress* progress) {
  StreamRequest request;
  request.config = config;
  request.aligned = false;  // the analysis times windows as FileBridge.analyze does
  request.structural_only = true;
  request.step_frames = kPumpFrames;  // the steps of FileSource::analyze(), so the scores agree
  auto stream = FileStream::open(path, request);
  if (!stream) return std::move(stream).error();
  const DetectorConfig detector = detector_config(config);
  if (detector.kind != DetectorKind::Model) return CoreError(ErrorKind::VadNotConfigured);
  auto analyzer = Analyzer::create(detector);
  if (!analyzer) return std::move(analyzer).error();
  std::vector<float> step;
  while (true) {
    step.clear();
    auto more = (*stream)->next(step);
    if (!more) return std::move(more).error();
    if (!step.empty()) {
      if (auto added = analyzer->add(step, (*stream)->channels()); !added) {
        return std::move(added).error();
      }
    }
    if (progress != nullptr) {
      progress->frames.fetch_add(step.size() / std::max<size_t>((*stream)->channels(), 1),
                                 std::memory_order_relaxed);
      if (progress->stop.load(std::memory_order_relaxed)) return analyzer->finish();
    }
    if (!*more) return analyzer->finish();
  }
}

}  // namespace murello
