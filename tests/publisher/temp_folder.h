#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "publisher-test-XXXXXX").string();
    m_root = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Root() const { return m_root; }

  // relative is UTF-8 with "/" between folders.
  std::filesystem::path Write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path path = m_root / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::filesystem::path m_root;
};
