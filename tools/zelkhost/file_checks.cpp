#include "file_checks.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/platform.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;

constexpr std::uint16_t kElfSharedObject = 3;           // e_type ET_DYN
constexpr std::uint16_t kPeMachineI386 = 0x014c;        // IMAGE_FILE_MACHINE_I386
constexpr std::uint16_t kPeCharacteristicDll = 0x2000;  // IMAGE_FILE_DLL
constexpr std::size_t kPeHeaderOffsetAt = 0x3c;         // e_lfanew
constexpr std::size_t kHeaderBytes = 4096;

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::string Width(int bits) { return std::to_string(bits) + "-bit"; }

std::string KindName(BinaryFile::Kind kind, int bits, bool library = true) {
  if (kind == BinaryFile::Kind::kPe) {
    return "a " + Width(bits) + (library ? " Windows DLL" : " Windows program");
  }
  return "a " + Width(bits) + (library ? " Linux shared library" : " Linux program");
}

// The package that holds the library of `kind` and `bits`.
std::string PackageFor(BinaryFile::Kind kind, int bits) {
  if (kind == BinaryFile::Kind::kElf) return "linux-x86_64";
  return bits == 32 ? "windows-x86" : "windows-x64";
}

constexpr int kNativeBits = static_cast<int>(sizeof(void*) * 8);

bool IsFolder(const std::string& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

// There, but neither a folder nor a plain file: a FIFO, a device, a socket.
bool IsOtherThanFile(const std::string& path) {
  std::error_code ignored;
  const fs::file_status status = fs::status(path, ignored);
  return fs::exists(status) && !fs::is_directory(status) && !fs::is_regular_file(status);
}

bool CanRead(const std::string& path) {
  return platform::OpenSharedRead(path).status != platform::OpenStatus::kFailed;
}

std::string FolderOf(const std::string& file) { return fs::path(file).parent_path().string(); }

}  // namespace

BinaryFile InspectBinary(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes(kHeaderBytes, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  BinaryFile binary;
  if (bytes.size() >= 20 && bytes.compare(0, 4,
                                          "\x7f"
                                          "ELF") == 0) {
    binary.kind = BinaryFile::Kind::kElf;
    binary.bits = bytes[4] == 2 ? 64 : 32;
    binary.library = LittleEndian(bytes, 16, 2) == kElfSharedObject;
    return binary;
  }
  if (bytes.size() < kPeHeaderOffsetAt + 4 || bytes.compare(0, 2, "MZ") != 0) return binary;
  const std::size_t pe = LittleEndian(bytes, kPeHeaderOffsetAt, 4);
  if (pe > bytes.size() || bytes.size() - pe < 24 ||
      bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    return binary;
  }
  binary.kind = BinaryFile::Kind::kPe;
  binary.bits = LittleEndian(bytes, pe + 4, 2) == kPeMachineI386 ? 32 : 64;
  binary.library = (LittleEndian(bytes, pe + 22, 2) & kPeCharacteristicDll) != 0;
  return binary;
}

std::optional<std::string> LibraryFileProblem(const std::string& path) {
  const BinaryFile::Kind native = NativeBinaryKind();
  const std::string expected = KindName(native, kNativeBits);
  const std::string cure = "; give --library the path of " + expected + " of zelkforward";
  if (IsFolder(path)) return path + " is a folder, not a library" + cure;
  if (!Exists(path)) return "the library " + path + " does not exist" + cure;
  if (!CanRead(path)) return "the library " + path + " cannot be read (permissions)";
  const BinaryFile binary = InspectBinary(path);
  if (binary.kind == BinaryFile::Kind::kNone) {
    return path + " is no " +
           std::string(native == BinaryFile::Kind::kPe ? "DLL" : "shared library") + " at all" +
           cure;
  }
  const std::string is = path + " is " + KindName(binary.kind, binary.bits, binary.library);
  if (binary.kind != native) {
    return is + "; a host here loads " + expected + " (package " + PackageFor(native, kNativeBits) +
           ")";
  }
  if (!binary.library) return is + ", not a library" + cure;
  if (binary.bits != kNativeBits) {
    return is + ", and this zelkhost is " + Width(kNativeBits) + ": a " + Width(kNativeBits) +
           " host cannot load it. Check it with the zelkhost of its own package (" +
           PackageFor(binary.kind, binary.bits) + "), or give a " + Width(kNativeBits) +
           " host the library of package " + PackageFor(native, kNativeBits);
  }
  return std::nullopt;
}

std::optional<std::string> ConfigurationFileProblem(const std::string& path) {
  if (IsFolder(path)) {
    return "the configuration file " + path + " is a folder; the service then uses every " +
           "default. Remove or rename the folder and put the file there";
  }
  if (IsOtherThanFile(path)) {
    return "the configuration file " + path + " is not a plain file (a FIFO or a device); the " +
           "service reads plain files only and then uses every default. Put a file there";
  }
  if (Exists(path) && !CanRead(path)) {
    return "the configuration file " + path + " cannot be read (permissions); the service then " +
           "uses every default. Let the host's account read it";
  }
  return std::nullopt;
}

std::optional<std::string> JobListProblem(const std::string& path) {
  if (IsFolder(path)) return "the job list " + path + " is a folder, not a file";
  if (!Exists(path)) return "the job list " + path + " is missing";
  if (IsOtherThanFile(path)) {
    return "the job list " + path +
           " is not a plain file (a FIFO or a device): the service reads plain files only";
  }
  if (!CanRead(path)) {
    return "the job list " + path + " cannot be read (permissions): let the host's account read it";
  }
  return std::nullopt;
}

std::optional<std::string> AppendProblem(const std::string& file, const std::string& what) {
  if (NameTooLong(file)) {
    return what + file + " has a name too long for the file system (a part of it longer than " +
           "the file system allows, or the whole path): the service cannot open it; shorten it";
  }
  const std::string folder = FolderOf(file);
  if (!folder.empty() && !IsFolder(folder)) {
    return "the folder of " + what + file + " does not exist; the service creates files, not " +
           "folders: create it";
  }
  if (IsFolder(file)) return what + file + " is a folder; name a file";
  if (Exists(file)) {
    if (platform::OpenAppendShared(file).status == platform::OpenStatus::kFailed) {
      if (IsOtherThanFile(file)) {
        return what + file + " is not a plain file (a FIFO or a device) the service can write " +
               "to; name a file";
      }
      return what + file + " cannot be written (permissions): let the host's account write it";
    }
    return std::nullopt;
  }
  if (!CanCreateIn(folder)) {
    return "the folder " + (folder.empty() ? std::string(".") : folder) + " of " + what + file +
           " cannot be written (permissions): let the host's account create files there";
  }
  return std::nullopt;
}

std::string WorkingFolderNote() {
  std::error_code ignored;
  return "Relative file names are taken from the working folder, here " +
         fs::current_path(ignored).string() +
         "; the host takes them from its own working folder, which may differ.";
}

std::string PermissionsNote() {
  if (!RunsWithAllRights()) return "";
  return "Permissions were checked with every right (as root, or as an elevated "
         "administrator); the host may run as another user, who may lack them.";
}

}  // namespace zelk::host
