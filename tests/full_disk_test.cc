// Both writers of the run file on a file system that fills up, as programs:
// one message, no HDF5 error stack, no crash at exit, nothing left behind,
// and the failure in the exit status.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "scratch_dir.h"

namespace daq::test {
namespace {

namespace fs = std::filesystem;

// HDF5 itself loses a buffer when a write fails; the sanitizer build is told.
const std::string kLeaks = "LSAN_OPTIONS=suppressions='" HDF5_LEAKS "' ";

class FullDiskTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    std::string run = "'" READER_PATH "' --quiet --outmode 1 '" EXAMPLES_DIR
                      "/sim-2024.run.json' -- -hdf5 -xdump -out t.txt";
    ASSERT_EQ(run_here(run).status, 0);
    fs::create_directory(dir_ / "disk");
  }
  // Mounts a tmpfs of `size` on disk/; false where that cannot be done.
  bool mount_disk(const char* size) {
    std::string options = std::string("size=") + size;
    return mount("tmpfs", (dir_ / "disk").c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  void TearDown() override {
    umount((dir_ / "disk").c_str());
    ScratchDirTest::TearDown();
  }
};

TEST_F(FullDiskTest, ConverterGivesOneMessageAndNoFile) {
  for (const char* size : {"8k", "32k", "64k"}) {
    SCOPED_TRACE(size);
    if (!mount_disk(size)) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    Outcome o =
        run_here(kLeaks + "'" TABLE2H5_PATH "' --memory 1 --xml user_descr.xml -o disk/x.h5 t.txt");
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err.rfind("daq-table2h5: cannot write rows of ", 0), 0u) << o.err;
    EXPECT_NE(o.err.find(": No space left on device\n"), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_TRUE(fs::is_empty(dir_ / "disk"));
    umount((dir_ / "disk").c_str());
  }
}

TEST_F(FullDiskTest, ReaderKeepsTheTextAndDropsTheRunFile) {
  if (!mount_disk("64k")) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  Outcome o = run_here(kLeaks + "'" READER_PATH "' --quiet '" EXAMPLES_DIR
                                "/sim-2024.run.json' -- -h5 disk/run.h5 -h5z none -out u.txt");
  EXPECT_EQ(o.status, 3);
  EXPECT_EQ(o.err.find("HDF5-DIAG"), std::string::npos) << o.err;
  EXPECT_NE(o.out.find("HDF5 file disk/run.h5 given up"), std::string::npos) << o.out;
  EXPECT_TRUE(fs::is_empty(dir_ / "disk"));
  EXPECT_GT(fs::file_size(dir_ / "u.txt"), 1000u);
}

}  // namespace
}  // namespace daq::test
