#include "driver/values.h"

namespace installer {

std::vector<std::string> arguments;
std::string basePath;
std::string cmd_string;
std::optional<std::string> plistData;

std::string appendingPathComponent(const std::string& base, const std::string& component) {
  if (base.ends_with('/')) {
    return base + component;
  }
  return base + "/" + component;
}

}  // namespace installer
