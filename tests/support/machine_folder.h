// Test support: a machine whose volumes are folders of a temporary directory.
#pragma once

#include <filesystem>
#include <string>

// A temporary directory that holds a machine profile and its volumes' folders; the machine is
// installed by Install and the directory removed with the object.
class MachineFolder {
 public:
  MachineFolder();
  ~MachineFolder();
  MachineFolder(const MachineFolder&) = delete;
  MachineFolder& operator=(const MachineFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // Creates the folder `relative` (and its parents) below the root.
  std::filesystem::path Folder(const std::string& relative) const;
  // Writes a file below the root.
  std::filesystem::path File(const std::string& relative, const std::string& content) const;
  std::string Read(const std::string& relative) const;
  // Writes `json` as the profile and installs the machine it describes; fails the test if
  // refused.
  void Install(const std::string& json) const;

 private:
  std::filesystem::path root_;
};
