#include "tests/support/core_child.h"

#include <fstream>
#include <iterator>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

std::map<std::string, std::string> await_stub_record(const std::filesystem::path& path) {
  std::map<std::string, std::string> fields;
  if (!eventually([&] { return std::filesystem::exists(path); })) return fields;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line) && line != "config:") {
    const auto equals = line.find('=');
    std::string& value = fields[line.substr(0, equals)];
    value += (value.empty() ? "" : " ") + line.substr(equals + 1);
  }
  fields["config"].assign(std::istreambuf_iterator<char>(in), {});
  return fields;
}

}  // namespace nimbletrace_test
