#include "encode/VrRenderNode.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

std::string VrFindRenderNode(uint32_t vendor, const std::string& sysDrmDir,
                             const std::string& devDriDir) {
  std::vector<std::string> nodes;
  std::error_code ec;
  // A machine without a GPU has no such directory at all: that is "none".
  for (const auto& entry : std::filesystem::directory_iterator(sysDrmDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("renderD", 0) == 0) nodes.push_back(name);
  }
  std::sort(nodes.begin(), nodes.end());
  for (const std::string& name : nodes) {
    std::ifstream in(sysDrmDir + "/" + name + "/device/vendor");
    std::string text;
    if (!(in >> text)) continue;
    try {
      if (std::stoul(text, nullptr, 16) == vendor) return devDriDir + "/" + name;
    } catch (const std::exception&) {
      // An unreadable vendor file describes no adapter we could use.
    }
  }
  return std::string();
}
