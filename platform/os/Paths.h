// Where the program lives and keeps its files, and the folder queries the
// program needs. Paths are plain byte strings as the file system has them.
#pragma once

#include <string>
#include <vector>

namespace qv {

// The running executable (/proc/self/exe) and its folder (without a trailing
// '/'); empty when the link cannot be read.
std::string ExecutablePath();
std::string ExecutableFolder();

// $XDG_CONFIG_HOME, else $HOME/.config; $XDG_DATA_HOME, else $HOME/.local/share
// (a relative XDG value is ignored, as the XDG rules say). $HOME falls back to
// the password database. No trailing '/'.
std::string ConfigHome();
std::string DataHome();

bool FolderExists(const std::string& path);
// True when both names reach one existing file (the same device and inode:
// a link or another spelling of the path included).
bool SameFile(const std::string& a, const std::string& b);
// True when path reaches the file open as descriptor fd (not when that file
// was unlinked or replaced under another name since).
bool SameFile(int fd, const std::string& path);
// True when the folder exists and this process may create files in it.
bool FolderIsWritable(const std::string& path);
// Creates one folder (mode 0777 less the umask); true when it exists afterwards.
bool CreateFolder(const std::string& path);
// Removes an empty folder; true when it is gone afterwards.
bool RemoveFolder(const std::string& path);
// Creates the folder and every missing parent; true when it exists afterwards.
bool ForceFolders(const std::string& path);
// Creates one folder with mode 0700 when missing. True when it then is a real
// folder (not a link) owned by this user that no one else may enter: a
// folder in a shared place (the temporary folder) that another user made
// first, or opened to others, is refused rather than used.
bool CreatePrivateFolder(const std::string& path);
// The names of the sub-folders of a folder, sorted by byte value, without
// "." and ".."; empty when the folder cannot be read.
std::vector<std::string> SubFolders(const std::string& path);

}  // namespace qv
