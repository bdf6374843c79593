#include "onnx/runtime_use.hpp"

#include <atomic>
#include <thread>

namespace murello {
namespace {

// Sequentially consistent: a use that starts while the runtime closes either sees it
// closed or is seen by `ort_close` as in flight.
std::atomic<int> g_in_flight{0};
std::atomic<bool> g_closed{false};

}  // namespace

OrtUse::OrtUse() {
  g_in_flight.fetch_add(1);
  if (g_closed.load()) {
    g_in_flight.fetch_sub(1);
    return;
  }
  held_ = true;
}

OrtUse::~OrtUse() {
  if (held_) g_in_flight.fetch_sub(1);
}

void ort_close(std::chrono::milliseconds limit) {
  g_closed.store(true);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // A use lasts one model load or one inference: polling costs the exit a millisecond.
  while (g_in_flight.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace murello
