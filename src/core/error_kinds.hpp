// The table of core error kinds: name and message template, in kind order.
//
// A template names its fields in braces, in the order the reporting code passes them
// to CoreError. This is the only place a kind's message is written down.
#pragma once

// clang-format off
#define MURELLO_ERROR_KINDS(X) \
  X(SampleRateOutOfRange, "sample rate must be between 1000 and 384000") \
  X(ChannelsOutOfRange, "channels must be at least 1") \
  X(FramesPerBufferOutOfRange, "frames per buffer must be between 64 and 65536") \
  X(AgcTargetOutOfRange, "agc target level must be between -40 and -3") \
  X(LimiterCeilingOutOfRange, "limiter ceiling must be between -3.0 and 0.0") \
  X(DetectorSourceOutOfRange, "the detector source names delivered channel {channel}; the delivered channel count is {delivered}") \
  X(FlacCompressionOutOfRange, "flac compression level must be between 0 and 8") \
  X(InvalidFormat, "format must be 'int16' or 'float32'") \
  X(MicrophoneNotFound, "No microphone found matching \"{query}\"") \
  X(SpeakerNotFound, "No speaker found matching \"{query}\"") \
  X(MultipleDevicesMatch, "Multiple devices match \"{query}\":\n{candidates}") \
  X(DeviceIndexOutOfRange, "device index out of range. Call devices() to list available devices") \
  X(NoMicrophoneFound, "No microphone found. Check system audio input settings.") \
  X(NoSpeakerFound, "No speaker found. Check system audio settings.") \
  X(NotAnInputDevice, "Selected device is not a valid microphone.") \
  X(DeviceEnumerationFailed, "Failed to enumerate devices: {detail}") \
  X(AlreadyRunning, "audio stream is already running. Call stop() first.") \
  X(StreamOpenFailed, "Failed to open audio stream: {detail}") \
  X(StreamStartFailed, "Failed to start audio stream: {detail}") \
  X(SpeakerChannelsUnsupported, "the output device does not support {requested} output channels; it reports {reported}: {detail}") \
  X(ChannelMapOutOfRange, "the channel map names device channel {channel}; the device reports {device_channels} input channels") \
  X(ChannelMapLengthMismatch, "the channel map has {entries} entries; it must have exactly one entry per delivered channel ({delivered})") \
  X(MicrophoneChannelsUnsupported, "the input device does not support {requested} delivered channels; it reports {reported}") \
  X(ChannelSelectionAmbiguous, "a channel map is required to deliver {requested} of the device's {device_channels} input channels") \
  X(BlockSizeNotFrameAligned, "the requested block size of {block} samples is not a whole number of {channels}-channel frames") \
  X(FileChannelsUnsupported, "the file does not have {requested} channels to deliver; it has {file_channels}") \
  X(FileChannelSelectionAmbiguous, "delivering {requested} of the file's {file_channels} channels requires a channel map") \
  X(FileChannelMapOutOfRange, "the file channel map names channel {channel}; the file has {file_channels} channels") \
  X(PermissionDenied, "Microphone permission denied. Check your distribution's audio permissions (PulseAudio / PipeWire).") \
  X(MicrophoneStreamClosed, "Microphone stream is closed") \
  X(SpeakerStreamClosed, "Speaker stream is closed") \
  X(DeviceFailed, "murello: audio device error: {cause}") \
  X(ResampleConfigInvalid, "the requested sample rate conversion is not supported by the resampler") \
  X(ResampleAfterFlush, "the resample chain was fed after it was flushed") \
  X(ResampleFailed, "resampler error: {detail}") \
  X(VadSampleRateUnsupported, "Silero VAD only supports sample rates 8000 and 16000") \
  X(VadThresholdOutOfRange, "VAD threshold must be between 0.0 and 1.0") \
  X(AecSampleRateUnsupported, "echo cancellation only supports sample rates 8000 to 48000") \
  X(AecConfigInvalid, "echo canceller configuration error: {detail}") \
  X(FileReadFailed, "Failed to read audio file {path}: {cause}") \
  X(FileWriteFailed, "Failed to write audio file {path}: {cause}") \
  X(AudioFormatUnsupported, "unsupported audio format: {detail}") \
  X(AudioFileMalformed, "malformed audio file: {detail}") \
  X(AudioFileTruncated, "truncated audio file: {detail}") \
  X(VadNotConfigured, "analysis requires VAD; construct the File with a vad configuration") \
  X(FileEngaged, "File iteration has begun; construct a new File to analyze the whole recording") \
  X(OrtInitFailed, "murello: failed to initialize ONNX Runtime: {cause}. Either pass ort_library_path when constructing the VAD, set ORT_DYLIB_PATH to point to a valid ONNX Runtime library, or enable the `ort-download-binaries` feature for zero-config builds.") \
  X(OrtLoadFailed, "murello: failed to load ONNX Runtime from {path}: {cause}. If ORT_DYLIB_PATH is set, verify it points to a valid ONNX Runtime library for your platform. Otherwise the bundled ONNX Runtime may be missing from your installation. Try reinstalling murello.") \
  X(OrtPathInvalid, "murello: failed to load ONNX Runtime from {path}: {reason}. If ORT_DYLIB_PATH is set, verify it points to a valid ONNX Runtime library for your platform. Otherwise the bundled ONNX Runtime may be missing from your installation. Try reinstalling murello.") \
  X(OrtSessionBuildFailed, "Failed to create ort session builder: {cause}") \
  X(OrtThreadsConfigFailed, "Failed to set ort threads: {cause}") \
  X(VadModelLoadFailed, "Failed to load Silero VAD model from {path}: {cause}") \
  X(ModelLoadFailed, "Failed to load model from {path}: {cause}") \
  X(OrtInferenceFailed, "Silero VAD inference failed: {cause}") \
  X(OrtTensorCreateFailed, "Failed to create {tensor} tensor: {cause}") \
  X(OrtTensorExtractFailed, "Failed to extract {tensor} tensor: {cause}") \
  X(ForkAfterOrtInit, "ONNX Runtime was initialized in pid {init_pid} but is being used in pid {current_pid}. Python's fork() start method is incompatible with ORT initialization. Use multiprocessing.set_start_method('spawn') or construct Microphone(vad='silero') inside each child process.") \
  X(OnnxBackendFailed, "ONNX backend error from {context}: {cause}")
// clang-format on
