// Fixture access for the image tests.
#pragma once
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vorn::testing {

inline std::string image_path(const std::string& name) {
  return std::string(VORN_TEST_DATA) + "/images/" + name;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> read_image(const std::string& name) { return read_file(image_path(name)); }

struct Fixture {
  std::string file;
  uint32_t width;
  uint32_t height;
  uint32_t orientation;
  std::string expected;
};

inline std::vector<Fixture> read_manifest() {
  std::vector<Fixture> out;
  std::ifstream f(image_path("manifest.txt"));
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    Fixture fx;
    s >> fx.file >> fx.width >> fx.height >> fx.orientation >> fx.expected;
    out.push_back(fx);
  }
  return out;
}

inline bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace vorn::testing
