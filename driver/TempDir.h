#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel::driver {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it by the destructor.
// The constructor throws std::runtime_error when it cannot make one.
class TempDir {
public:
  explicit TempDir(std::string_view prefix = "vantrel");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Canonical, so it compares equal to paths the code under test derives (/tmp is a symlink on
  // macOS).
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const {
    return path_ / relative;
  }

  // Writes `bytes` to `relative` under path(), creating parent directories. The file is
  // replaced by a rename, so a reader never sees half of it. Throws std::runtime_error on failure.
  std::filesystem::path write(const std::filesystem::path& relative, std::string_view bytes) const;

private:
  std::filesystem::path path_;
};

// The whole file's bytes; throws std::runtime_error when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Creates or replaces `path` with a file of `size` zero bytes that takes no disk space.
void makeSparseFile(const std::filesystem::path& path, std::uintmax_t size);

} // namespace vantrel::driver
