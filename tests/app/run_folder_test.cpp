#include "app/run_folder.h"

#include <gtest/gtest.h>

#include <string>

TEST(RunFolder, SystemProgramFolders) {
  struct Case {
    const char* dir;
    bool system;
  };
  const Case cases[] = {
      {"/usr/bin", true},
      {"/usr/sbin", true},
      {"/bin", true},
      {"/sbin", true},
      {"/usr/local/bin", true},
      {"/usr/local/sbin", true},
      {"", true},  // the root: an executable at /mibscan
      {"/usr/bin2", false},
      {"/usr/binx", false},
      {"/usr", false},
      {"/opt/mibscan", false},
      {"/home/op/bin", false},
      {"/usr/lib/mibscan", false},
      {"/srv/usr/bin", false},
      {"usr/bin", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsSystemProgramFolder(c.dir), c.system) << '"' << c.dir << '"';
}

TEST(RunFolder, ChoiceBetweenExecutableFolderAndCurrentDirectory) {
  struct Case {
    const char* exe_dir;
    const char* cwd;
    bool ok;
    const char* folder;  // when ok
    bool note;           // a line for standard error
  };
  const Case cases[] = {
      // A build or an unpacked copy keeps its own folder, wherever it is run from.
      {"/home/op/mibscan/build", "/tmp", true, "/home/op/mibscan/build", false},
      {"/opt/mibscan", "/", true, "/opt/mibscan", false},
      // Installed: the current directory, said once.
      {"/usr/bin", "/home/op/scan", true, "/home/op/scan", true},
      {"/usr/local/bin", "/srv/scan/", true, "/srv/scan", true},
      {"", "/home/op", true, "/home/op", true},
      // Installed and run from a system folder: nowhere to write.
      {"/usr/bin", "/", false, "", false},
      {"/usr/bin", "/usr/bin", false, "", false},
      {"/bin", "/usr/local/sbin/", false, "", false},
  };
  for (const Case& c : cases) {
    std::string folder = "unchanged";
    std::string note;
    std::string error;
    const bool ok = ChooseRunFolder(c.exe_dir, c.cwd, &folder, &note, &error);
    const std::string where = std::string(c.exe_dir) + " | " + c.cwd;
    EXPECT_EQ(ok, c.ok) << where;
    if (ok) {
      EXPECT_EQ(folder, c.folder) << where;
      EXPECT_TRUE(error.empty()) << where;
    } else {
      EXPECT_EQ(folder, "unchanged") << where;
      EXPECT_NE(error.find("is a system folder"), std::string::npos) << error;
    }
    EXPECT_EQ(!note.empty(), c.note) << where << ": " << note;
    if (c.note) {
      EXPECT_NE(note.find(c.folder), std::string::npos) << note;
    }
  }
}
