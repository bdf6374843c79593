// Realistic test signals for the echo canceller: synthetic speech, synthetic
// rooms, noise, and the arithmetic to combine them. Mono float, 16 kHz unless a
// rate is given.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace murello::aec::testing {

inline constexpr std::size_t kRate = 16000;

// `seconds` of speech by espeak-ng (the text repeated as needed), peak-normalised
// to 0.5. Absent when espeak-ng or sox is missing; under CI=true that is a failure
// the caller reports.
std::optional<std::vector<float>> speech(const std::string& voice, const std::string& text, double seconds,
                                         std::size_t rate = kRate);
// A ready message for a test that cannot get speech.
std::string missing_speech_message();

// Direct path of gain `direct` followed by exponentially decaying noise whose
// level falls 60 dB over `decay_ms`; `length_ms` long.
std::vector<float> room(double direct, double decay_ms, double length_ms, unsigned seed, std::size_t rate = kRate);
// `x` with everything above `cutoff_hz` removed (a brick wall, as a band-limited
// far end leaves the bands above its own empty).
std::vector<float> low_pass(std::span<const float> x, double cutoff_hz, std::size_t rate);
std::vector<float> convolve(std::span<const float> x, std::span<const float> h);
std::vector<float> noise(std::size_t n, double rms, unsigned seed);
std::vector<float> delayed(std::span<const float> x, std::size_t samples);
void add(std::vector<float>& to, std::span<const float> x, double gain = 1.0);
double rms(std::span<const float> x);
// Power ratio of a to b in dB over [begin, end).
double ratio_db(std::span<const float> a, std::span<const float> b, std::size_t begin, std::size_t end);

}  // namespace murello::aec::testing
