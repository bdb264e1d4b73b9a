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
