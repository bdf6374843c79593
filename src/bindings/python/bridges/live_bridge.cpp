#include "bindings/python/bridges/live_bridge.hpp"

#include <string_view>

#include "bindings/python/support/errors.hpp"
#include "core/process.hpp"

namespace murello::py {

namespace {

LiveBridgeHead& head_of(PyObject* self) { return *reinterpret_cast<LiveBridgeHead*>(self); }

}  // namespace

void claim_live_bridge(PyObject* self) { head_of(self).owner_pid = current_process_id(); }

bool live_bridge_is_ours(PyObject* self) { return in_process(head_of(self).owner_pid); }

int check_live_bridge_owner(PyObject* self) {
  const uint32_t owner = head_of(self).owner_pid;
  if (in_process(owner)) return 0;
  std::string_view name = Py_TYPE(self)->tp_name;  // "murello._murello.MicrophoneBridge"
  name.remove_prefix(name.rfind('.') + 1);
  raise_core_error(CoreError(ErrorKind::BridgeUsedAfterFork, name, owner, current_process_id()));
  return -1;
}

}  // namespace murello::py
