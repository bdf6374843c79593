#include "files/file_header.hpp"

#include "audiofile/container.hpp"
#include "files/decode_error.hpp"
#include "files/file_io.hpp"

namespace murello {

Result<AudioHeader, CoreError> read_file_header(const std::filesystem::path& path) {
  auto view = view_whole_file(path);
  if (!view) return std::move(view).error();
  auto header = read_audio_header(view->bytes());
  if (!header) return core_error_from_decode(header.error());
  return *header;
}

const char* container_name(ContainerKind container) {
  switch (container) {
    case ContainerKind::Wav: return "WAV";
    case ContainerKind::Rf64: return "RF64";
    case ContainerKind::Aiff: return "AIFF";
    case ContainerKind::Aifc: return "AIFF-C";
    case ContainerKind::Flac: return "FLAC";
  }
  return "unknown";
}

std::string sample_format_text(const AudioHeader& header) {
  std::string text = std::to_string(header.bits_per_sample) + "-bit ";
  switch (header.coding) {
    case SampleCoding::ALaw: return text + "A-law";
    case SampleCoding::MuLaw: return text + "mu-law";
    case SampleCoding::UnsignedPcm: return text + "unsigned PCM";
    case SampleCoding::SignedPcm: text += "PCM"; break;
    case SampleCoding::Float: text += "IEEE float"; break;
  }
  const bool aiff = header.container == ContainerKind::Aiff ||
                    header.container == ContainerKind::Aifc;
  if (aiff && header.bits_per_sample > 8) {
    text += header.byte_order == std::endian::big ? " big-endian" : " little-endian";
  }
  return text;
}

}  // namespace murello
