// Hands fuzz input to the loaders through a real file, as they read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace tavrin::fuzzing {

inline const std::string& FuzzFilePath() {
  static const std::string path = [] {
    std::random_device random;
    return (std::filesystem::temp_directory_path() /
            ("tavrin-fuzz-" + std::to_string(random()) + ".xml"))
        .string();
  }();
  // Registered once the path exists, so it runs before the path is destroyed.
  static const bool removeAtExit = [] {
    return std::atexit([] {
             std::error_code ignored;
             std::filesystem::remove(path, ignored);
           }) == 0;
  }();
  (void)removeAtExit;
  return path;
}

inline const std::string& WriteFuzzFile(const uint8_t* data, size_t size) {
  const std::string& path = FuzzFilePath();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace tavrin::fuzzing
