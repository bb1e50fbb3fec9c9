#include "os/files.h"

#include <cerrno>

// Placeholder bodies so that dependants link while the implementation is being written.
namespace os::files {

bool exists(const std::filesystem::path&) { return false; }
bool isDirectory(const std::filesystem::path&) { return false; }
bool isSymbolicLink(const std::filesystem::path&) { return false; }
bool createDirectory(const std::filesystem::path& path, bool, Error* error) {
  return fail(error, posixError(ENOSYS, path.string()));
}
std::optional<std::string> readFile(const std::filesystem::path& path, Error* error) {
  fail(error, posixError(ENOSYS, path.string()));
  return std::nullopt;
}
bool writeAtomically(const std::filesystem::path& path, std::string_view, Error* error, mode_t) {
  return fail(error, posixError(ENOSYS, path.string()));
}
bool moveItem(const std::filesystem::path& from, const std::filesystem::path&, Error* error) {
  return fail(error, posixError(ENOSYS, from.string()));
}
bool copyItem(const std::filesystem::path& from, const std::filesystem::path&, Error* error) {
  return fail(error, posixError(ENOSYS, from.string()));
}
bool removeItem(const std::filesystem::path& path, Error* error) {
  return fail(error, posixError(ENOSYS, path.string()));
}
std::optional<std::vector<std::string>> contentsOfDirectory(const std::filesystem::path& path,
                                                            Error* error) {
  fail(error, posixError(ENOSYS, path.string()));
  return std::nullopt;
}
std::optional<Attributes> attributes(const std::filesystem::path& path, Error* error) {
  fail(error, posixError(ENOSYS, path.string()));
  return std::nullopt;
}
bool setPermissions(const std::filesystem::path& path, uint32_t, Error* error) {
  return fail(error, posixError(ENOSYS, path.string()));
}
bool createSymbolicLink(const std::filesystem::path& at, const std::filesystem::path&,
                        Error* error) {
  return fail(error, posixError(ENOSYS, at.string()));
}

}  // namespace os::files
