"""The exceptions of murello.

Every error of the native core is raised as the class named after its kind, with the
message as the first argument. The hierarchy:

- ``MurelloError``: the base of everything murello raises.
  - ``OrtError``: ONNX Runtime could not be loaded or a model could not run; also
    ``VadModelLoadFailed``, ``ModelLoadFailed``, ``ForkAfterOrtInit`` and
    ``OnnxBackendFailed``.
    - ``OrtPathError``: the runtime library named by a path failed to load
      (``OrtLoadFailed``, ``OrtPathInvalid``).
  - every other class derives from ``MurelloError`` directly.

``OrtLoadFailed``, ``VadModelLoadFailed`` and ``ModelLoadFailed`` carry the path as their
second argument; ``OrtPathInvalid`` carries the path and the reason as the second and third.
"""

from __future__ import annotations


class MurelloError(Exception):
    """Base class of every error raised by murello."""

    def __str__(self) -> str:
        # The message is the first argument; paths and reasons that follow it are for
        # programs and already appear inside the message.
        return str(self.args[0]) if self.args else ""


class OrtError(MurelloError):
    """ONNX Runtime could not be loaded, or a model could not be built or run."""


class OrtPathError(OrtError):
    """The ONNX Runtime library at a given path could not be loaded."""


class AlreadyRunning(MurelloError):
    pass


class MicrophoneStreamClosed(MurelloError):
    pass


class DeviceFailed(MurelloError):
    pass


class OnnxBackendFailed(OrtError):
    pass


class ChannelsOutOfRange(MurelloError):
    pass


class DeviceEnumerationFailed(MurelloError):
    pass


class DeviceIndexOutOfRange(MurelloError):
    pass


class MicrophoneNotFound(MurelloError):
    pass


class ForkAfterOrtInit(OrtError):
    pass


class FramesPerBufferOutOfRange(MurelloError):
    pass


class InvalidFormat(MurelloError):
    pass


class MultipleDevicesMatch(MurelloError):
    pass


class NoMicrophoneFound(MurelloError):
    pass


class NoSpeakerFound(MurelloError):
    pass


class NotAnInputDevice(MurelloError):
    pass


class SpeakerNotFound(MurelloError):
    pass


class SpeakerStreamClosed(MurelloError):
    pass


class PermissionDenied(MurelloError):
    pass


class SampleRateOutOfRange(MurelloError):
    pass


class AgcTargetOutOfRange(MurelloError):
    pass


class LimiterCeilingOutOfRange(MurelloError):
    pass


class DetectorSourceOutOfRange(MurelloError):
    pass


class FlacCompressionOutOfRange(MurelloError):
    pass


class StreamOpenFailed(MurelloError):
    pass


class StreamStartFailed(MurelloError):
    pass


class SpeakerChannelsUnsupported(MurelloError):
    pass


class ChannelMapOutOfRange(MurelloError):
    pass


class ChannelMapLengthMismatch(MurelloError):
    pass


class MicrophoneChannelsUnsupported(MurelloError):
    pass


class ChannelSelectionAmbiguous(MurelloError):
    pass


class BlockSizeNotFrameAligned(MurelloError):
    pass


class FileChannelsUnsupported(MurelloError):
    pass


class FileChannelSelectionAmbiguous(MurelloError):
    pass


class FileChannelMapOutOfRange(MurelloError):
    pass


class VadSampleRateUnsupported(MurelloError):
    pass


class VadThresholdOutOfRange(MurelloError):
    pass


class AecSampleRateUnsupported(MurelloError):
    pass


class AecConfigInvalid(MurelloError):
    pass


class ResampleConfigInvalid(MurelloError):
    pass


class ResampleAfterFlush(MurelloError):
    pass


class ResampleFailed(MurelloError):
    pass


class FileReadFailed(MurelloError):
    pass


class FileWriteFailed(MurelloError):
    pass


class FileConsumed(MurelloError):
    pass


class FileEngaged(MurelloError):
    pass


class AudioFormatUnsupported(MurelloError):
    pass


class AudioFileMalformed(MurelloError):
    pass


class AudioFileTruncated(MurelloError):
    pass


class VadNotConfigured(MurelloError):
    pass


class VadModelLoadFailed(OrtError):
    pass


class ModelLoadFailed(OrtError):
    pass


class OrtInitFailed(OrtError):
    pass


class OrtSessionBuildFailed(OrtError):
    pass


class OrtThreadsConfigFailed(OrtError):
    pass


class OrtTensorCreateFailed(OrtError):
    pass


class OrtTensorExtractFailed(OrtError):
    pass


class OrtInferenceFailed(OrtError):
    pass


class OrtLoadFailed(OrtPathError):
    pass


class OrtPathInvalid(OrtPathError):
    pass


class BridgeUsedAfterFork(MurelloError):
    """A MicrophoneBridge or SpeakerBridge was used in a process forked from the one that
    created it."""


__all__ = [
    "MurelloError",
    "AlreadyRunning",
    "MicrophoneStreamClosed",
    "DeviceFailed",
    "OnnxBackendFailed",
    "ChannelsOutOfRange",
    "DeviceEnumerationFailed",
    "DeviceIndexOutOfRange",
    "MicrophoneNotFound",
    "ForkAfterOrtInit",
    "FramesPerBufferOutOfRange",
    "InvalidFormat",
    "MultipleDevicesMatch",
    "NoMicrophoneFound",
    "NoSpeakerFound",
    "NotAnInputDevice",
    "SpeakerNotFound",
    "SpeakerStreamClosed",
    "PermissionDenied",
    "SampleRateOutOfRange",
    "AgcTargetOutOfRange",
    "LimiterCeilingOutOfRange",
    "DetectorSourceOutOfRange",
    "FlacCompressionOutOfRange",
    "StreamOpenFailed",
    "StreamStartFailed",
    "SpeakerChannelsUnsupported",
    "ChannelMapOutOfRange",
    "ChannelMapLengthMismatch",
    "MicrophoneChannelsUnsupported",
    "ChannelSelectionAmbiguous",
    "BlockSizeNotFrameAligned",
    "FileChannelsUnsupported",
    "FileChannelSelectionAmbiguous",
    "FileChannelMapOutOfRange",
    "VadSampleRateUnsupported",
    "VadThresholdOutOfRange",
    "AecSampleRateUnsupported",
    "AecConfigInvalid",
    "ResampleConfigInvalid",
    "ResampleAfterFlush",
    "ResampleFailed",
    "FileReadFailed",
    "FileWriteFailed",
    "FileConsumed",
    "FileEngaged",
    "AudioFormatUnsupported",
    "AudioFileMalformed",
    "AudioFileTruncated",
    "VadNotConfigured",
    "VadModelLoadFailed",
    "ModelLoadFailed",
    "OrtError",
    "OrtInitFailed",
    "OrtSessionBuildFailed",
    "OrtThreadsConfigFailed",
    "OrtTensorCreateFailed",
    "OrtTensorExtractFailed",
    "OrtInferenceFailed",
    "OrtPathError",
    "OrtLoadFailed",
    "OrtPathInvalid",
    "BridgeUsedAfterFork",
]
