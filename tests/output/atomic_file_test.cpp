#include "output/atomic_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>

#include "output/xml_document.h"
#include "support/test_util.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

// Files of this process may not grow past bytes while it lives: writes
// beyond fail with EFBIG (the signal for it ignored), as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
  bool ok_ = false;
};

// Text of several write-back steps, so a failure can come in the middle.
std::string LargeText() {
  std::string text;
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i) text += "line " + std::to_string(i) + "\n";
  return text;
}

TEST(AtomicFileWriter, PiecesBecomeTheFileOnlyAtCommit) {
  TempDir dir;
  const std::string path = dir / "r.xml";
  const std::string text = LargeText();
  for (bool commit : {false, true}) {
    WriteFile(path, "previous run");
    {
      AtomicFileWriter writer;
      std::string error;
      ASSERT_TRUE(writer.Begin(path, &error)) << error;
      for (size_t at = 0; at < text.size(); at += 70001)
        ASSERT_TRUE(writer.Append(text.data() + at, std::min<size_t>(70001, text.size() - at)));
      EXPECT_EQ(ReadFile(path), "previous run") << commit;
      if (commit) {
        EXPECT_TRUE(writer.Commit(&error)) << error;
      }
    }  // dropped without Commit: abandoned
    EXPECT_EQ(ReadFile(path), commit ? text : "previous run") << commit;
    EXPECT_FALSE(FileExists(AtomicTempPath(path))) << commit;
  }
}

// A write that fails half-way (here the file size limit; a full disk alike)
// fails the save with that cause and leaves the old file as it was.
TEST(AtomicFileWriter, AWriteFailingHalfWayKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir / "r.xml";
  const std::string text = LargeText();
  CXmlDocument doc;
  ASSERT_TRUE(doc.Create());
  for (int i = 0; i < 20000; ++i)
    doc.AddElement(doc.AddRootElement("RESULT", "", "", ""), "VALUE", std::to_string(i), "", "",
                   false);
  std::string document;
  ASSERT_TRUE(doc.Serialize(&document));
  ASSERT_GT(document.size(), 600000u);

  WriteFile(path, "previous run");
  {
    FileSizeLimit limit(512 * 1024);
    ASSERT_TRUE(limit.ok());
    AtomicFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Begin(path, &error)) << error;
    EXPECT_FALSE(writer.Append(text.data(), text.size()));
    EXPECT_FALSE(writer.Append("x", 1));  // dropped after a failure
    EXPECT_TRUE(writer.WriteError(&error));
    EXPECT_EQ(error, "File too large");
    EXPECT_FALSE(writer.Commit(&error));
    EXPECT_EQ(error, "File too large");
    EXPECT_EQ(ReadFile(path), "previous run");
    EXPECT_FALSE(FileExists(AtomicTempPath(path)));

    EXPECT_FALSE(SaveFileAtomically(path, text, &error));
    EXPECT_EQ(error, "File too large");
    // The document is streamed: the writer's cause, not the serialiser's.
    EXPECT_FALSE(doc.Save(path));
    EXPECT_EQ(doc.m_strError, "File too large");
    EXPECT_EQ(ReadFile(path), "previous run");
    EXPECT_FALSE(FileExists(AtomicTempPath(path)));
  }
  ASSERT_TRUE(doc.Save(path)) << doc.m_strError;
  EXPECT_EQ(ReadFile(path), document);
}

}  // namespace
