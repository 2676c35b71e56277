// kelo-render's files: audio in and out (through libsndfile), and whole files
// of bytes for the plug-in's saved states.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads an audio file as interleaved stereo (mono is doubled) with its rate.
// False with a one-line reason in error.
bool ReadAudio(const std::string& path, std::vector<float>& stereo, double& rate,
               std::string& error);
// Writes interleaved stereo as a 32-bit float WAV file. False with a reason.
bool WriteAudio(const std::string& path, const std::vector<float>& stereo, double rate,
                std::string& error);

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Why bytes read from a state file are not a Kelo state ("" when they are one).
std::string NotAKeloState(const std::vector<uint8_t>& bytes);
