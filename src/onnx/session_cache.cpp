#include "onnx/session_cache.hpp"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace murello {
namespace {

struct IdleSessions {
  std::mutex mutex;
  std::vector<std::pair<ModelFileKey, OrtSession*>> sessions;
};

IdleSessions& idle() {
  static auto* table = new IdleSessions;  // never destroyed: sessions outlive static teardown
  return *table;
}

}  // namespace

std::optional<ModelFileKey> model_file_key(const std::filesystem::path& model) {
  std::error_code error;
  ModelFileKey key;
  key.path = std::filesystem::canonical(model, error).string();
  if (error) return std::nullopt;
  key.bytes = std::filesystem::file_size(key.path, error);
  if (error) return std::nullopt;
  const auto modified = std::filesystem::last_write_time(key.path, error);
  if (error) return std::nullopt;
  key.modified = modified.time_since_epoch().count();
  return key;
}

OrtSession* take_idle_session(const ModelFileKey& key) {
  IdleSessions& table = idle();
  std::lock_guard lock(table.mutex);
  auto found = std::find_if(table.sessions.begin(), table.sessions.end(),
                            [&](const auto& entry) { return entry.first == key; });
  if (found == table.sessions.end()) return nullptr;
  OrtSession* session = found->second;
  table.sessions.erase(found);
  return session;
}

bool keep_idle_session(const ModelFileKey& key, OrtSession* session) {
  IdleSessions& table = idle();
  std::lock_guard lock(table.mutex);
  const auto kept = std::count_if(table.sessions.begin(), table.sessions.end(),
                                  [&](const auto& entry) { return entry.first == key; });
  if (static_cast<size_t>(kept) >= kIdleSessionsPerModel) return false;
  table.sessions.emplace_back(key, session);
  return true;
}

}  // namespace murello
