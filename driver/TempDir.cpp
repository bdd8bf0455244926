#include "driver/TempDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h> // mkdtemp, as macOS declares it
#include <vector>

namespace vantrel::driver {
namespace fs = std::filesystem;

TempDir::TempDir(std::string_view prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  while (pattern.size() > 1 && pattern.back() == '/')
    pattern.pop_back();
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "/" + prefix + ...
  pattern += '/';
  pattern += prefix;
  pattern += "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr)
    throw std::runtime_error("cannot make a directory like " + pattern + ": " +
                             std::strerror(errno));
  path_ = fs::canonical(name.data());
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path TempDir::write(const fs::path& relative, std::string_view bytes) const {
  const fs::path target = path_ / relative;
  std::error_code error;
  fs::create_directories(target.parent_path(), error);
  if (error)
    throw std::runtime_error("cannot create " + target.parent_path().string() + ": " +
                             error.message());
  fs::path staging = target;
  staging += ".writing";
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
      throw std::runtime_error("cannot write " + staging.string());
  }
  fs::rename(staging, target, error);
  if (error)
    throw std::runtime_error("cannot rename " + staging.string() + ": " + error.message());
  return target;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), {}};
  if (!in.is_open() || in.bad())
    throw std::runtime_error("cannot read " + path.string());
  return bytes;
}

void makeSparseFile(const fs::path& path, std::uintmax_t size) {
  if (!std::ofstream(path, std::ios::binary))
    throw std::runtime_error("cannot create " + path.string());
  fs::resize_file(path, size);
}

} // namespace vantrel::driver
