#include "testing/documents.h"

#include <fstream>

namespace {

std::string unescaped(const std::string& line) {
  std::string text;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() &&
        (line[i + 1] == '-' || line[i + 1] == 'e' || line[i + 1] == '\\')) {
      text += line[i + 1] == '-' ? '-' : '\\';
      ++i;
    } else {
      text += line[i];
    }
  }
  return text;
}

}  // namespace

std::string copied_block(const std::string& path, const std::string& name) {
  std::ifstream in(path);
  const std::string readme_mark = "<!-- copy: " + name + " -->";
  const std::string man_mark = ".\\\" copy: " + name;
  std::string line;
  while (std::getline(in, line)) {
    if (line != readme_mark && line != man_mark) {
      continue;
    }
    const bool man = line == man_mark;
    std::string opening;
    if (!std::getline(in, opening) || opening.rfind(man ? ".nf" : "```", 0) != 0) {
      return "";
    }
    std::string block;
    while (std::getline(in, line) && line != (man ? ".fi" : "```")) {
      block += (man ? unescaped(line) : line) + "\n";
    }
    return block;
  }
  return "";
}
