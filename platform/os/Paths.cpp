// Program and user folders, folder queries. See Paths.h.
#include "platform/os/Paths.h"

#include <dirent.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qv {

namespace {

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string HomeFolder() {
  const char* home = ::getenv("HOME");
  if (home && *home) return WithoutTrailingSlash(home);
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found &&
      found->pw_dir)
    return WithoutTrailingSlash(found->pw_dir);
  return "/";
}

std::string XdgFolder(const char* variable, const char* fallbackUnderHome) {
  const char* v = ::getenv(variable);
  if (v && v[0] == '/') return WithoutTrailingSlash(v);
  std::string home = HomeFolder();
  return (home == "/" ? "" : home) + fallbackUnderHome;
}

}  // namespace

std::string ExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);  // the name may have been cut: try again
  }
}

std::string ExecutableFolder() {
  std::string exe = ExecutablePath();
  size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string ConfigHome() { return XdgFolder("XDG_CONFIG_HOME", "/.config"); }

std::string DataHome() { return XdgFolder("XDG_DATA_HOME", "/.local/share"); }

bool FolderExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first;
  struct stat second;
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

bool SameFile(int fd, const std::string& path) {
  struct stat open;
  struct stat named;
  return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
         open.st_ino == named.st_ino;
}

bool FolderIsWritable(const std::string& path) {
  return FolderExists(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool CreateFolder(const std::string& path) {
  if (path.empty()) return false;
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  return errno == EEXIST && FolderExists(path);
}

bool CreatePrivateFolder(const std::string& path) {
  if (path.empty()) return false;
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool RemoveFolder(const std::string& path) { return ::rmdir(path.c_str()) == 0 || !FolderExists(path); }

bool ForceFolders(const std::string& path) {
  std::string p = WithoutTrailingSlash(path);
  if (p.empty()) return false;
  if (FolderExists(p)) return true;
  size_t slash = p.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceFolders(p.substr(0, slash))) return false;
  return CreateFolder(p);
}

std::vector<std::string> SubFolders(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) isFolder = FolderExists(path + "/" + name);
    if (isFolder) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qv
