// What a command works on: a file or directory, a registry key, or a descriptor stored in a
// registry value. Parsed from the command line once, named the same way in every message, and
// opened through the class library or the named-object calls.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/win32.h"
#include "security/vortiss_security.h"

// A descriptor (owner, group and DACL) read by name, released with LocalFree.
class ObjectDescriptor {
 public:
  ObjectDescriptor() = default;
  ~ObjectDescriptor();
  ObjectDescriptor(const ObjectDescriptor&) = delete;
  ObjectDescriptor& operator=(const ObjectDescriptor&) = delete;

  PSECURITY_DESCRIPTOR get() const { return descriptor_; }
  // Reads the descriptor of the object `name` names (a path, or MACHINE\... and CURRENT_USER\...
  // for keys). Returns the platform's code.
  DWORD Read(const std::wstring& name, SE_OBJECT_TYPE type);

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// How a file or directory is given on the command line, for its help.
inline constexpr char kFileHelp[] = "A file or directory; a POSIX path becomes Z:\\...";

struct Target {
  enum class Kind { kFile, kKey, kValue };

  // TARGET as a file or directory (a POSIX path in its Windows form); nothing, with `refusal`,
  // for a path Windows cannot spell.
  static std::optional<Target> File(const std::string& path, std::wstring& refusal);
  // ROOT\SUBKEY, ROOT one of HKLM, HKCU, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER in any case. With
  // `root_alone` a root by itself is a key too, and trailing separators are dropped.
  static std::optional<Target> Key(const std::string& text, bool root_alone, std::wstring& refusal);
  // The value NAME of the key ROOT\SUBKEY.
  static std::optional<Target> Value(const std::string& key,
                                     const std::string& name,
                                     std::wstring& refusal);

  // The target as messages name it: 'PATH', or 'ROOT\SUBKEY' value 'NAME'.
  std::wstring Describe() const;
  // A file or key as the named-object calls name it.
  std::wstring ObjectName() const;
  SE_OBJECT_TYPE ObjectType() const;
  // Whether what it holds inherits its entries: a directory or a key, and a value's descriptor
  // as the class library writes it.
  bool Container() const;
  // The file or key one level up, named as this one is; nothing above a drive's root, a
  // registry root or a value.
  std::optional<Target> Parent() const;

  // The class library's descriptor of the target, read from it.
  std::unique_ptr<CSD> Open() const;
  // The target's descriptor read by name (files and keys).
  DWORD Read(ObjectDescriptor& descriptor) const;

  Kind kind = Kind::kFile;
  std::wstring path;  // a file's Windows path, or a key's path as it was given
  HKEY root = nullptr;
  std::wstring subkey;  // below the root; empty for a root itself
  std::wstring value_name;
};
