#include "onnx/runtime.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>

#include "core/process.hpp"
#include "onnx/runtime_use.hpp"

namespace murello {

OrtFunctions OrtFunctions::bind(const OrtApiTable* table) {
  const auto* slots = reinterpret_cast<const unsigned char*>(table);
  OrtFunctions f{};
  auto take = [slots](size_t slot, auto& member) {
    std::memcpy(&member, slots + slot * sizeof(void (*)()), sizeof member);
  };
  take(2, f.get_error_message);
  take(4, f.create_env_with_custom_logger);
  take(5, f.enable_telemetry_events);
  take(6, f.disable_telemetry_events);
  take(7, f.create_session);
  take(9, f.run);
  take(10, f.create_session_options);
  take(24, f.set_intra_op_num_threads);
  take(30, f.session_get_input_count);
  take(31, f.session_get_output_count);
  take(37, f.session_get_output_name);
  take(49, f.create_tensor_with_data);
  take(51, f.get_tensor_mutable_data);
  take(60, f.get_tensor_element_type);
  take(64, f.get_tensor_shape_element_count);
  take(65, f.get_tensor_type_and_shape);
  take(67, f.get_value_type);
  take(69, f.create_cpu_memory_info);
  take(76, f.allocator_free);
  take(78, f.get_allocator_with_default_options);
  take(92, f.release_env);
  take(93, f.release_status);
  take(94, f.release_memory_info);
  take(95, f.release_session);
  take(96, f.release_value);
  take(99, f.release_tensor_type_and_shape_info);
  take(100, f.release_session_options);
  return f;
}

namespace {

struct LibraryCloser {
  void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// Where the library came from decides which kinds its failures report.
enum class Origin { Argument, Variable, LoaderSearch };

struct OpenedLibrary {
  LibraryHandle handle;
  OrtGetApiBaseFn get_api_base;
};

std::string loader_message() {
  const char* text = dlerror();
  return text ? lossy_utf8(text) : std::string("unknown dynamic loader error");
}

bool names_regular_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);  // follows symbolic links
}

Result<OpenedLibrary, CoreError> open_library(const std::filesystem::path& path, Origin origin) {
  dlerror();
  LibraryHandle handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    if (origin == Origin::LoaderSearch) {
      return CoreError(ErrorKind::OrtPathInvalid, path,
                       "no ONNX Runtime is resolvable: ORT_DYLIB_PATH is not set and the "
                       "system loader cannot find the runtime library");
    }
    return CoreError(ErrorKind::OrtLoadFailed, path, loader_message());
  }
  dlerror();
  void* symbol = dlsym(handle.get(), kOrtEntrySymbol);
  if (!symbol) return CoreError(ErrorKind::OrtLoadFailed, path, loader_message());
  OrtGetApiBaseFn get_api_base;
  std::memcpy(&get_api_base, &symbol, sizeof get_api_base);
  return OpenedLibrary{std::move(handle), get_api_base};
}

// Runtime log lines are dropped: the system writes no log, and failures reach the
// caller through statuses.
void discard_log(void*, OrtLoggingLevel, const char*, const char*, const char*, const char*) {}

std::string take_status_message(const OrtFunctions& api, OrtStatus* status) {
  std::string text = lossy_utf8(api.get_error_message(status));
  api.release_status(status);
  return text;
}

// The environment of an opened library; the error is the bare cause text.
Result<OrtRuntime, std::string> set_up_environment(const OpenedLibrary& library) {
  const OrtApiBase* base = library.get_api_base();
  if (!base) return std::string("OrtGetApiBase returned no API base");
  const char* version_text = base->get_version_string();
  std::string version = version_text ? lossy_utf8(version_text) : std::string("unknown");
  const OrtApiTable* table = base->get_api(kOrtApiVersion);
  if (!table) {
    return "the library (ONNX Runtime " + version + ") does not provide API version " +
           std::to_string(kOrtApiVersion);
  }
  OrtFunctions api = OrtFunctions::bind(table);
  OrtEnv* env = nullptr;
  if (OrtStatus* status = api.create_env_with_custom_logger(discard_log, nullptr, kOrtLogWarning,
                                                            kOrtEnvironmentName, &env)) {
    return take_status_message(api, status);
  }
  const bool telemetry = ort_telemetry_requested(std::getenv("MURELLO_ORT_TELEMETRY"));
  OrtStatus* status =
      telemetry ? api.enable_telemetry_events(env) : api.disable_telemetry_events(env);
  if (status) {
    api.release_env(env);
    return take_status_message(api, status);
  }
  return OrtRuntime{api, env, current_process_id(), telemetry, std::move(version), {}};
}

Result<OrtRuntime, CoreError> load_from(const std::filesystem::path& path, Origin origin) {
  auto library = open_library(path, origin);
  if (!library) return std::move(library).error();
  auto runtime = set_up_environment(*library);
  if (!runtime) {
    if (origin == Origin::Argument) {
      return CoreError(ErrorKind::OrtLoadFailed, path, runtime.error());
    }
    return CoreError(ErrorKind::OrtInitFailed, runtime.error());
  }
  library->handle.release();  // the runtime stays loaded for the life of the process
  runtime->library = path;
  return std::move(runtime).value();
}

Result<OrtRuntime, CoreError> load_runtime(const std::optional<std::filesystem::path>& given) {
  if (given) {
    if (!names_regular_file(*given)) {
      return CoreError(ErrorKind::OrtPathInvalid, *given,
                       "path does not exist or is not a regular file");
    }
    return load_from(*given, Origin::Argument);
  }
  const char* variable = std::getenv("ORT_DYLIB_PATH");
  if (variable && *variable) {
    const std::filesystem::path path(variable);
    if (!names_regular_file(path)) {
      return CoreError(ErrorKind::OrtPathInvalid, path,
                       "ORT_DYLIB_PATH does not point to a regular file");
    }
    return load_from(path, Origin::Variable);
  }
  return load_from(kOrtLibraryName, Origin::LoaderSearch);
}

std::mutex g_init_mutex;
std::atomic<const OrtRuntime*> g_runtime{nullptr};

Result<void, CoreError> check_pid(const OrtRuntime& runtime) {
  if (!in_process(runtime.init_pid)) {
    return CoreError(ErrorKind::ForkAfterOrtInit, runtime.init_pid, current_process_id());
  }
  return {};
}

}  // namespace

bool ort_telemetry_requested(const char* value) { return value && std::string_view(value) == "1"; }

const OrtRuntime* ort_runtime() { return g_runtime.load(std::memory_order_acquire); }

Result<void, CoreError> ort_check_process() {
  const OrtRuntime* runtime = ort_runtime();
  if (!runtime) return {};
  return check_pid(*runtime);
}

Result<const OrtRuntime*, CoreError> ort_init(
    const std::optional<std::filesystem::path>& library_path) {
  OrtUse use;  // loading maps the library and runs its initialisers
  if (!use) return CoreError(ErrorKind::OrtInitFailed, kOrtClosedCause);
  const OrtRuntime* runtime = ort_runtime();
  if (!runtime) {
    std::lock_guard lock(g_init_mutex);
    runtime = g_runtime.load(std::memory_order_relaxed);
    if (!runtime) {
      auto loaded = load_runtime(library_path);
      if (!loaded) return std::move(loaded).error();
      // Published once and never freed: sessions keep pointers into it.
      runtime = new OrtRuntime(std::move(loaded).value());
      g_runtime.store(runtime, std::memory_order_release);
      return runtime;
    }
  }
  if (auto same = check_pid(*runtime); !same) return std::move(same).error();
  return runtime;
}

}  // namespace murello
