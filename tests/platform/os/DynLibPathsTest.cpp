#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "OsTestSupport.h"
#include "platform/os/DynLib.h"
#include "platform/os/Paths.h"

using namespace qv;

TEST(DynLib, LoadsTheFirstNameThatExists) {
  DynLib lib;
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_EQ(lib.Symbol("cos"), nullptr);
  ASSERT_TRUE(lib.Load(std::vector<std::string>{"libqv-no-such-library.so.1", "libm.so.6"}));
  EXPECT_EQ(lib.Name(), "libm.so.6");
  auto cosine = lib.SymbolAs<double (*)(double)>("cos");
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(lib.Symbol("qv_no_such_symbol"), nullptr);

  DynLib moved = std::move(lib);
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_TRUE(moved.IsLoaded());
  moved.Unload();
  EXPECT_FALSE(moved.IsLoaded());
  EXPECT_EQ(moved.Symbol("cos"), nullptr);

  EXPECT_FALSE(moved.Load("libqv-no-such-library.so.1"));
  EXPECT_NE(moved.LastError().find("libqv-no-such-library.so.1"), std::string::npos);
  EXPECT_FALSE(moved.Load(std::vector<std::string>{}));
  EXPECT_FALSE(moved.LastError().empty());
}

TEST(Paths, ExecutableAndUserFolders) {
  EXPECT_EQ(ExecutableFolder(), std::string(QV_HELPER_DIR));
  EXPECT_EQ(ExecutablePath(), std::string(QV_HELPER_DIR) + "/platform_tests");

  const char* oldHome = getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  const char* oldConfig = getenv("XDG_CONFIG_HOME");
  std::string savedConfig = oldConfig ? oldConfig : "";
  const char* oldData = getenv("XDG_DATA_HOME");
  std::string savedData = oldData ? oldData : "";

  setenv("HOME", "/home/op/", 1);
  unsetenv("XDG_CONFIG_HOME");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(ConfigHome(), "/home/op/.config");
  EXPECT_EQ(DataHome(), "/home/op/.local/share");
  setenv("XDG_CONFIG_HOME", "/cfg/", 1);
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(ConfigHome(), "/cfg");
  EXPECT_EQ(DataHome(), "/data");

  auto restore = [](const char* name, const char* old, const std::string& saved) {
    if (old)
      setenv(name, saved.c_str(), 1);
    else
      unsetenv(name);
  };
  restore("HOME", oldHome, savedHome);
  restore("XDG_CONFIG_HOME", oldConfig, savedConfig);
  restore("XDG_DATA_HOME", oldData, savedData);
}

TEST(Paths, FolderQueries) {
  qv_test::ScratchFolder dir;
  std::string root = dir.Path();
  EXPECT_TRUE(FolderExists(root));
  EXPECT_TRUE(FolderIsWritable(root));
  EXPECT_FALSE(FolderExists(root + "/none"));
  EXPECT_FALSE(FolderIsWritable(root + "/none"));

  EXPECT_TRUE(CreateFolder(root + "/Logs"));
  EXPECT_TRUE(CreateFolder(root + "/Logs"));  // already there
  EXPECT_FALSE(CreateFolder(root + "/x/y"));   // parent missing
  EXPECT_TRUE(ForceFolders(root + "/a/b/c/"));
  EXPECT_TRUE(FolderExists(root + "/a/b/c"));
  EXPECT_TRUE(CreateFolder(root + "/B2"));
  { FILE* f = fopen((root + "/file.txt").c_str(), "w"); fclose(f); }
  EXPECT_FALSE(CreateFolder(root + "/file.txt"));  // a file of that name
  EXPECT_FALSE(FolderExists(root + "/file.txt"));
  EXPECT_EQ(SubFolders(root), (std::vector<std::string>{"B2", "Logs", "a"}));
  EXPECT_TRUE(SubFolders(root + "/none").empty());

  chmod((root + "/B2").c_str(), 0500);
  if (geteuid() != 0) {
    EXPECT_FALSE(FolderIsWritable(root + "/B2"));  // root may write anyway
  }
  chmod((root + "/B2").c_str(), 0700);
}
