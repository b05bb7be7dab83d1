#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "mappedfile.h"

using namespace quorpatch;

namespace {

std::size_t openDescriptors()
{
    std::size_t count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

void limitFileSize(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = bytes;
    limit.rlim_max = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

class QuorpatchMappedFileTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    std::string path(const char *name) const { return m_dir.filePath(name).toStdString(); }

    std::string write(const char *name, const std::string &contents) const
    {
        const std::string file = path(name);
        std::ofstream(file, std::ios::binary) << contents;
        return file;
    }

    QTemporaryDir m_dir;
};

template<typename Exception> std::string thrownBy(const MappedFile &file, std::size_t index)
{
    try {
        file.At(index);
    } catch (const Exception &error) {
        return error.what();
    }
    return "nothing thrown";
}

} // namespace

TEST_F(QuorpatchMappedFileTest, MapsTheWholeFile)
{
    const std::string file = write("data.bin", "hello mapped");
    const MappedFile::AccessHint hints[]
        = {MappedFile::Normal, MappedFile::Sequential, MappedFile::Random};
    for (MappedFile::AccessHint hint : hints) {
        MappedFile mapped(file.c_str(), 0, hint);
        ASSERT_TRUE(mapped.IsValid()) << hint;
        EXPECT_EQ(mapped.FileSize(), 12u);
        EXPECT_EQ(mapped.Length(), 12u);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(mapped.Data()), mapped.Length()),
                  "hello mapped");
        EXPECT_EQ(mapped[4], 'o');
        EXPECT_EQ(mapped.At(11), 'd');
        EXPECT_EQ(thrownBy<std::out_of_range>(mapped, 12), "View is not large enough");
    }
}

TEST_F(QuorpatchMappedFileTest, FailuresLeaveNoDescriptorOrView)
{
    const std::size_t before = openDescriptors();
    MappedFile missing(path("missing").c_str());
    EXPECT_FALSE(missing.IsValid());
    EXPECT_EQ(missing.FileSize(), 0u);
    EXPECT_EQ(openDescriptors(), before);

    // Linux refuses a mapping of length 0: an empty file is not mapped.
    {
        MappedFile empty(write("empty", "").c_str());
        EXPECT_FALSE(empty.IsValid());
    }
    EXPECT_EQ(openDescriptors(), before);

    MappedFile closed;
    EXPECT_EQ(thrownBy<std::invalid_argument>(closed, 0), "No view mapped");
    EXPECT_FALSE(closed.Map(0, 0)) << "nothing opened";
}

// The reason of a failure outlives whatever the caller does before it asks.
TEST_F(QuorpatchMappedFileTest, FailedOpenKeepsTheErrnoOfTheCallThatFailed)
{
    const struct
    {
        const char *label;
        std::string path;
        int error;
    } cases[] = {
        {"missing", path("missing"), ENOENT},
        {"in a missing folder", path("none/file"), ENOENT},
        {"folder", m_dir.path().toStdString(), EISDIR},
        {"below a file", write("plain", "x") + "/file", ENOTDIR},
        {"sound", write("sound", "content"), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        MappedFile mapped(c.path.c_str());
        errno = EDOM;
        EXPECT_EQ(mapped.IsValid(), c.error == 0);
        EXPECT_EQ(mapped.Error(), c.error);
    }

    // A later success clears it.
    MappedFile mapped(path("missing").c_str());
    ASSERT_EQ(mapped.Error(), ENOENT);
    ASSERT_TRUE(mapped.Open(path("sound").c_str()));
    EXPECT_EQ(mapped.Error(), 0);
}

TEST_F(QuorpatchMappedFileTest, SecondOpenKeepsTheFirstView)
{
    MappedFile mapped(write("first", "first").c_str());
    ASSERT_TRUE(mapped.IsValid());
    EXPECT_FALSE(mapped.Open(write("second", "second!").c_str()));
    EXPECT_EQ(mapped.FileSize(), 5u);
    EXPECT_EQ(mapped.At(0), 'f');

    const std::size_t withFirst = openDescriptors();
    mapped.Close();
    EXPECT_FALSE(mapped.IsValid());
    EXPECT_EQ(mapped.FileSize(), 0u);
    EXPECT_EQ(openDescriptors(), withFirst - 1);
    EXPECT_EQ(thrownBy<std::invalid_argument>(mapped, 0), "No view mapped");

    ASSERT_TRUE(mapped.Open(path("second").c_str()));
    EXPECT_EQ(mapped.Length(), 7u);
}

TEST_F(QuorpatchMappedFileTest, PartialViews)
{
    MappedFile mapped(write("data", "0123456789").c_str(), 4);
    ASSERT_TRUE(mapped.IsValid());
    EXPECT_EQ(mapped.Length(), 4u);
    EXPECT_EQ(mapped.FileSize(), 10u);
    // Inside the file but past the view.
    EXPECT_EQ(thrownBy<std::out_of_range>(mapped, 4), "View is not large enough");

    ASSERT_TRUE(mapped.Map(0, 1000));
    EXPECT_EQ(mapped.Length(), 10u) << "the length is cut at the end of the file";
    EXPECT_FALSE(mapped.Map(11, 1));
    EXPECT_FALSE(mapped.IsValid());
    ASSERT_TRUE(mapped.Map(0, 0));
    EXPECT_EQ(mapped.Length(), 10u);
}

TEST_F(QuorpatchMappedFileTest, PageSize)
{
    const std::size_t page = MappedFile::PageSize();
    EXPECT_GE(page, 512u);
    EXPECT_EQ(page & (page - 1), 0u);
}

TEST_F(QuorpatchMappedFileTest, WriteFileBytes)
{
    const std::string file = path("out.bin");
    const std::string data("binary\0\r\ndata", 13);
    EXPECT_EQ(WriteFileBytes(file.c_str(), data.data(), data.size()), data.size());
    EXPECT_EQ(readFile(file), data);

    // Length 0 truncates.
    EXPECT_EQ(WriteFileBytes(file.c_str(), data.data(), 0), 0u);
    EXPECT_TRUE(exists(file));
    EXPECT_EQ(readFile(file), "");

    EXPECT_EQ(WriteFileBytes(m_dir.path().toStdString().c_str(), data.data(), data.size()), 0u);
    EXPECT_EQ(WriteFileBytes(path("no/such/dir/file").c_str(), data.data(), data.size()), 0u);
}

TEST_F(QuorpatchMappedFileTest, FailedWriteNamesTheCallThatFailed)
{
    const std::string data(100, 'x');
    const struct
    {
        const char *label;
        std::string path;
        int error;
    } cases[] = {
        {"folder", m_dir.path().toStdString(), EISDIR},
        {"missing folder", path("no/such/dir/file"), ENOENT},
        // Only the close finds out: the bytes fit the buffer.
        {"full device", "/dev/full", ENOSPC},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.path == "/dev/full" && !exists(c.path))
            continue;
        int error = -1;
        EXPECT_EQ(WriteFileBytes(c.path.c_str(), data.data(), data.size(), &error), 0u);
        EXPECT_EQ(error, c.error);
    }
    int error = -1;
    EXPECT_EQ(WriteFileBytes(path("out").c_str(), data.data(), data.size(), &error), data.size());
    EXPECT_EQ(error, -1) << "untouched on success";
}

TEST_F(QuorpatchMappedFileTest, DataLostOnCloseIsAFailure)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    // The bytes fit the stdio buffer, so only closing reports that they could not be written.
    EXPECT_EQ(WriteFileBytes("/dev/full", "abc", 3), 0u);
    EXPECT_TRUE(exists("/dev/full"));
}

TEST_F(QuorpatchMappedFileTest, ShortWriteLeavesNoFile)
{
    const std::string file = path("limited.bin");
    // In a child process: the size limit must not reach the rest of the tests. The child runs
    // this test afresh with a folder of its own, and _Exit skips the destructor that removes it.
    EXPECT_EXIT(
        {
            limitFileSize(4096);
            const std::vector<char> data(1 << 20, 'x');
            int error = 0;
            const std::size_t written
                = WriteFileBytes(file.c_str(), data.data(), data.size(), &error);
            const int code = written == 0 && !exists(file) && error == EFBIG ? 0 : 3;
            m_dir.remove();
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}
