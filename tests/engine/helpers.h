// Shared test helpers: the generated media, the ffmpeg/ffprobe oracle, opening movies.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qtengine.h"

std::string media(const std::string& name);
// Runs a shell command and returns its standard output.
std::vector<uint8_t> run(const std::string& cmd);
std::string ffprobe(const std::string& file, const std::string& entries);  // compact output
// The value of key=... in a compact ffprobe line ("" when missing).
std::string field(const std::string& line, const std::string& key);
std::vector<std::string> lines(const std::string& s);
std::shared_ptr<qte::Movie> open(const std::string& name, qte::Err* trackErr = nullptr);
