// The reader before a file that is not a regular one: a FIFO would block its open, a device would
// never end. Both are refused in one line before they are opened (POSIX: FIFOs and /dev/zero).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "calstars/calstars.h"
#include "failure.h"
#include "support/test_support.h"

namespace {

TEST(CalstarsReader, FifoAndDeviceAreRefusedUnopened) {
    ScratchFolder folder;
    const std::string fifo = folder / "CALSTARS_fifo.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        CalStarExtraction record;
        try {
            OpenCalStarExtraction(path, record);
            ADD_FAILURE() << path << ": opened";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.message, " Cal Star Extraction file " + path + " is not a regular file \n");
            EXPECT_EQ(failure.path, path);
            EXPECT_EQ(failure.kind, FailureKind::kFile);
        }
    }
}

}  // namespace
