#include "test_card.hpp"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace murello::test_card {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string temp_path(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/murello-card-" +
         std::to_string(getpid()) + "-" + name;
}

}  // namespace murello::test_card
