// The error table: every class of murello.exceptions that the binding raises, in the
// order the binding's class registry is built, and for each error kind of the core its
// Python base class, the shape of the exception's arguments and its message template.
//
// KIND(name, base, arguments, message) is an error kind: `name` is both the ErrorKind
// enumerator and the Python class; `arguments` is Message (the message alone),
// MessagePath (message, path) or MessagePathReason (message, path, reason), the path
// and reason being the first fields. A template names its fields in braces, in the order
// the reporting code passes them to CoreError.
// CLASS(name, base) is a Python class that is no kind (a base of others).
//
// This is the only place a kind, its message or its class is written down; the binding's
// registry, the argument tuples and murello/exceptions.py (checked by a test) follow it.
#pragma once

// clang-format off
#define MURELLO_ERROR_TABLE(KIND, CLASS) \
  CLASS(MurelloError, Exception) \
  KIND(AlreadyRunning, MurelloError, Message, "audio stream is already running. Call stop() first.") \
  KIND(MicrophoneStreamClosed, MurelloError, Message, "Microphone stream is closed") \
  KIND(DeviceFailed, MurelloError, Message, "murello: audio device error: {cause}") \
  KIND(OnnxBackendFailed, OrtError, Message, "ONNX backend error from {context}: {cause}") \
  KIND(ChannelsOutOfRange, MurelloError, Message, "channels must be at least 1") \
  KIND(DeviceEnumerationFailed, MurelloError, Message, "Failed to enumerate devices: {detail}") \
  KIND(DeviceIndexOutOfRange, MurelloError, Message, "device index out of range. Call devices() to list available devices") \
  KIND(MicrophoneNotFound, MurelloError, Message, "No microphone found matching \"{query}\"") \
  KIND(ForkAfterOrtInit, OrtError, Message, "ONNX Runtime was initialized in pid {init_pid} but is being used in pid {current_pid}. Python's fork() start method is incompatible with ORT initialization. Use multiprocessing.set_start_method('spawn') or construct Microphone(vad='silero') inside each child process.") \
  KIND(FramesPerBufferOutOfRange, MurelloError, Message, "frames per buffer must be between 64 and 65536") \
  KIND(InvalidFormat, MurelloError, Message, "format must be 'int16' or 'float32'") \
  KIND(MultipleDevicesMatch, MurelloError, Message, "Multiple devices match \"{query}\":\n{candidates}") \
  KIND(NoMicrophoneFound, MurelloError, Message, "No microphone found. Check system audio input settings.") \
  KIND(NoSpeakerFound, MurelloError, Message, "No speaker found. Check system audio settings.") \
  KIND(NotAnInputDevice, MurelloError, Message, "Selected device is not a valid microphone.") \
  KIND(SpeakerNotFound, MurelloError, Message, "No speaker found matching \"{query}\"") \
  KIND(SpeakerStreamClosed, MurelloError, Message, "Speaker stream is closed") \
  KIND(PermissionDenied, MurelloError, Message, "Microphone permission denied. Check your distribution's audio permissions (PulseAudio / PipeWire).") \
  KIND(SampleRateOutOfRange, MurelloError, Message, "sample rate must be between 1000 and 384000") \
  KIND(AgcTargetOutOfRange, MurelloError, Message, "agc target level must be between -40 and -3") \
  KIND(LimiterCeilingOutOfRange, MurelloError, Message, "limiter ceiling must be between -3.0 and 0.0") \
  KIND(DetectorSourceOutOfRange, MurelloError, Message, "the detector source names delivered channel {channel}; the delivered channel count is {delivered}") \
  KIND(FlacCompressionOutOfRange, MurelloError, Message, "flac compression level must be between 0 and 8") \
  KIND(StreamOpenFailed, MurelloError, Message, "Failed to open audio stream: {detail}") \
  KIND(StreamStartFailed, MurelloError, Message, "Failed to start audio stream: {detail}") \
  KIND(SpeakerChannelsUnsupported, MurelloError, Message, "the output device does not support {requested} output channels; it reports {reported}: {detail}") \
  KIND(ChannelMapOutOfRange, MurelloError, Message, "the channel map names device channel {channel}; the device reports {device_channels} input channels") \
  KIND(ChannelMapLengthMismatch, MurelloError, Message, "the channel map has {entries} entries; it must have exactly one entry per delivered channel ({delivered})") \
  KIND(MicrophoneChannelsUnsupported, MurelloError, Message, "the input device does not support {requested} delivered channels; it reports {reported}") \
  KIND(ChannelSelectionAmbiguous, MurelloError, Message, "a channel map is required to deliver {requested} of the device's {device_channels} input channels") \
  KIND(BlockSizeNotFrameAligned, MurelloError, Message, "the requested block size of {block} samples is not a whole number of {channels}-channel frames") \
  KIND(FileChannelsUnsupported, MurelloError, Message, "the file does not have {requested} channels to deliver; it has {file_channels}") \
  KIND(FileChannelSelectionAmbiguous, MurelloError, Message, "delivering {requested} of the file's {file_channels} channels requires a channel map") \
  KIND(FileChannelMapOutOfRange, MurelloError, Message, "the file channel map names channel {channel}; the file has {file_channels} channels") \
  KIND(VadSampleRateUnsupported, MurelloError, Message, "Silero VAD only supports sample rates 8000 and 16000") \
  KIND(VadThresholdOutOfRange, MurelloError, Message, "VAD threshold must be between 0.0 and 1.0") \
  KIND(AecSampleRateUnsupported, MurelloError, Message, "echo cancellation only supports sample rates 8000 to 48000") \
  KIND(AecConfigInvalid, MurelloError, Message, "echo canceller configuration error: {detail}") \
  KIND(ResampleConfigInvalid, MurelloError, Message, "the requested sample rate conversion is not supported by the resampler") \
  KIND(ResampleAfterFlush, MurelloError, Message, "the resample chain was fed after it was flushed") \
  KIND(ResampleFailed, MurelloError, Message, "resampler error: {detail}") \
  KIND(FileReadFailed, MurelloError, Message, "Failed to read audio file {path}: {cause}") \
  KIND(FileWriteFailed, MurelloError, Message, "Failed to write audio file {path}: {cause}") \
  KIND(FileConsumed, MurelloError, Message, "File already consumed; construct a new File for another pass") \
  KIND(FileEngaged, MurelloError, Message, "File iteration has begun; construct a new File to analyze the whole recording") \
  KIND(AudioFormatUnsupported, MurelloError, Message, "unsupported audio format: {detail}") \
  KIND(AudioFileMalformed, MurelloError, Message, "malformed audio file: {detail}") \
  KIND(AudioFileTruncated, MurelloError, Message, "truncated audio file: {detail}") \
  KIND(VadNotConfigured, MurelloError, Message, "analysis requires VAD; construct the File with a vad configuration") \
  KIND(VadModelLoadFailed, OrtError, MessagePath, "Failed to load Silero VAD model from {path}: {cause}") \
  KIND(ModelLoadFailed, OrtError, MessagePath, "Failed to load model from {path}: {cause}") \
  CLASS(OrtError, MurelloError) \
  KIND(OrtInitFailed, OrtError, Message, "murello: failed to initialize ONNX Runtime: {cause}. Either pass ort_library_path when constructing the VAD, set ORT_DYLIB_PATH to point to a valid ONNX Runtime library, or enable the `ort-download-binaries` feature for zero-config builds.") \
  KIND(OrtSessionBuildFailed, OrtError, Message, "Failed to create ort session builder: {cause}") \
  KIND(OrtThreadsConfigFailed, OrtError, Message, "Failed to set ort threads: {cause}") \
  KIND(OrtTensorCreateFailed, OrtError, Message, "Failed to create {tensor} tensor: {cause}") \
  KIND(OrtTensorExtractFailed, OrtError, Message, "Failed to extract {tensor} tensor: {cause}") \
  KIND(OrtInferenceFailed, OrtError, Message, "Silero VAD inference failed: {cause}") \
  CLASS(OrtPathError, OrtError) \
  KIND(OrtLoadFailed, OrtPathError, MessagePath, "murello: failed to load ONNX Runtime from {path}: {cause}. If ORT_DYLIB_PATH is set, verify it points to a valid ONNX Runtime library for your platform. Otherwise the bundled ONNX Runtime may be missing from your installation. Try reinstalling murello.") \
  KIND(OrtPathInvalid, OrtPathError, MessagePathReason, "murello: failed to load ONNX Runtime from {path}: {reason}. If ORT_DYLIB_PATH is set, verify it points to a valid ONNX Runtime library for your platform. Otherwise the bundled ONNX Runtime may be missing from your installation. Try reinstalling murello.") \
  KIND(BridgeUsedAfterFork, MurelloError, Message, "{bridge} was created in pid {owner_pid} but is being used in pid {current_pid}. A forked process cannot use its parent's audio stream; construct a new one in this process.")
// clang-format on
