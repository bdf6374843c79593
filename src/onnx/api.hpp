// The part of the ONNX Runtime C API that the core calls, declared here because the
// runtime is loaded at run time and no header of it is installed.
//
// Conventions: the library exports one symbol, `OrtGetApiBase`, returning a table of two
// functions; `get_api(version)` returns the API table, a flat array of function pointers
// that only ever grows at its end, so a slot index names the same function in every
// library that accepts the requested version. Every status-returning function returns
// null on success; a non-null status is owned by the caller and released with
// `release_status`. Enumerations are passed as 32-bit ints (System V x86-64 ABI).
#pragma once

#include <cstddef>
#include <cstdint>

namespace murello {

// Opaque runtime objects, used only through pointers.
struct OrtStatus;
struct OrtEnv;
struct OrtSession;
struct OrtSessionOptions;
struct OrtValue;
struct OrtMemoryInfo;
struct OrtRunOptions;
struct OrtTensorTypeAndShapeInfo;
struct OrtApiTable;

// The lowest API version that holds every slot below (all lie in the frozen first block,
// but asking for 8 refuses libraries too old to run the models we load).
inline constexpr uint32_t kOrtApiVersion = 8;
inline constexpr const char* kOrtEntrySymbol = "OrtGetApiBase";

enum OrtElementType : int32_t {
  kOrtElementUndefined = 0,
  kOrtElementFloat = 1,
  kOrtElementUint8 = 2,
  kOrtElementInt8 = 3,
  kOrtElementUint16 = 4,
  kOrtElementInt16 = 5,
  kOrtElementInt32 = 6,
  kOrtElementInt64 = 7,
  kOrtElementString = 8,
  kOrtElementBool = 9,
  kOrtElementFloat16 = 10,
  kOrtElementDouble = 11,
  kOrtElementUint32 = 12,
  kOrtElementUint64 = 13,
  kOrtElementComplex64 = 14,
  kOrtElementComplex128 = 15,
  kOrtElementBfloat16 = 16,
};

enum OrtLoggingLevel : int32_t {
  kOrtLogVerbose = 0,
  kOrtLogInfo = 1,
  kOrtLogWarning = 2,
  kOrtLogError = 3,
  kOrtLogFatal = 4,
};

enum OrtAllocatorType : int32_t { kOrtDeviceAllocator = 0, kOrtArenaAllocator = 1 };
enum OrtMemType : int32_t { kOrtMemTypeDefault = 0 };
enum OrtValueType : int32_t { kOrtValueUnknown = 0, kOrtValueTensor = 1 };

// Public layout: the default allocator hands out session input/output names.
struct OrtAllocator {
  uint32_t version;
  void* (*alloc)(OrtAllocator* self, size_t bytes);
  void (*free)(OrtAllocator* self, void* pointer);
  const OrtMemoryInfo* (*info)(const OrtAllocator* self);
};

extern "C" {
using OrtLoggingFunction = void (*)(void* user, OrtLoggingLevel severity, const char* category,
                                    const char* log_id, const char* location, const char* message);

struct OrtApiBase {
  const OrtApiTable* (*get_api)(uint32_t version);  // null when the version is unsupported
  const char* (*get_version_string)();
};
using OrtGetApiBaseFn = const OrtApiBase* (*)();
}

// The functions the core calls, bound from their table slots by `bind`.
struct OrtFunctions {
  const char* (*get_error_message)(const OrtStatus* status);
  OrtStatus* (*create_env_with_custom_logger)(OrtLoggingFunction logger, void* user,
                                              OrtLoggingLevel level, const char* log_id,
                                              OrtEnv** out);
  OrtStatus* (*enable_telemetry_events)(const OrtEnv* env);
  OrtStatus* (*disable_telemetry_events)(const OrtEnv* env);
  OrtStatus* (*create_session)(const OrtEnv* env, const char* model_path,
                               const OrtSessionOptions* options, OrtSession** out);
  OrtStatus* (*run)(OrtSession* session, const OrtRunOptions* run_options,
                    const char* const* input_names, const OrtValue* const* inputs,
                    size_t input_count, const char* const* output_names, size_t output_count,
                    OrtValue** outputs);
  OrtStatus* (*create_session_options)(OrtSessionOptions** out);
  OrtStatus* (*set_intra_op_num_threads)(OrtSessionOptions* options, int threads);
  OrtStatus* (*session_get_input_count)(const OrtSession* session, size_t* out);
  OrtStatus* (*session_get_output_count)(const OrtSession* session, size_t* out);
  OrtStatus* (*session_get_output_name)(const OrtSession* session, size_t index,
                                        OrtAllocator* allocator, char** out);
  OrtStatus* (*create_tensor_with_data)(const OrtMemoryInfo* info, void* data, size_t bytes,
                                        const int64_t* shape, size_t rank, OrtElementType type,
                                        OrtValue** out);
  OrtStatus* (*get_tensor_mutable_data)(OrtValue* value, void** out);
  OrtStatus* (*get_tensor_element_type)(const OrtTensorTypeAndShapeInfo* info, OrtElementType* out);
  OrtStatus* (*get_tensor_shape_element_count)(const OrtTensorTypeAndShapeInfo* info, size_t* out);
  OrtStatus* (*get_tensor_type_and_shape)(const OrtValue* value, OrtTensorTypeAndShapeInfo** out);
  OrtStatus* (*get_value_type)(const OrtValue* value, OrtValueType* out);
  OrtStatus* (*create_cpu_memory_info)(OrtAllocatorType type, OrtMemType mem_type,
                                       OrtMemoryInfo** out);
  OrtStatus* (*allocator_free)(OrtAllocator* allocator, void* pointer);
  OrtStatus* (*get_allocator_with_default_options)(OrtAllocator** out);
  void (*release_env)(OrtEnv* env);
  void (*release_status)(OrtStatus* status);
  void (*release_memory_info)(OrtMemoryInfo* info);
  void (*release_session)(OrtSession* session);
  void (*release_value)(OrtValue* value);
  void (*release_tensor_type_and_shape_info)(OrtTensorTypeAndShapeInfo* info);
  void (*release_session_options)(OrtSessionOptions* options);

  // Reads every member from its slot of `table` (slot i sits at i pointers in).
  static OrtFunctions bind(const OrtApiTable* table);
};

}  // namespace murello
