#include "mappedfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorpatch {

MappedFile::MappedFile(const quorvelin::strings::oschar *path, std::size_t length, AccessHint hint)
    : m_hint(hint)
{
    Open(path, length, hint);
}

MappedFile::~MappedFile()
{
    Close();
}

bool MappedFile::Open(const quorvelin::strings::oschar *path, std::size_t length, AccessHint hint)
{
    if (m_view)
        return false;
    closeDescriptor();
    m_fileSize = 0;
    m_hint = hint;
    m_error = 0;
    if (!path) {
        m_error = EFAULT;
        return false;
    }
    m_fd = ::open(path, O_RDONLY);
    if (m_fd < 0) {
        m_error = errno;
        m_fd = -1;
        return false;
    }
    struct stat status;
    if (::fstat(m_fd, &status) != 0) {
        m_error = errno;
        return false;
    }
    // A folder opens, but no mapping of it can succeed; its own errno says more than mmap's.
    if (S_ISDIR(status.st_mode)) {
        m_error = EISDIR;
        return false;
    }
    m_fileSize = std::size_t(status.st_size);
    Map(0, length);
    return m_view != nullptr;
}

bool MappedFile::Map(std::size_t offset, std::size_t length)
{
    m_error = 0;
    if (m_fd < 0) {
        m_error = EBADF;
        return false;
    }
    if (length == 0)
        length = m_fileSize;
    if (m_view) {
        ::munmap(const_cast<u8 *>(m_view), m_viewLength);
        m_view = nullptr;
        m_viewLength = 0;
    }
    if (offset > m_fileSize) {
        m_error = EINVAL;
        return false;
    }
    if (length > m_fileSize - offset)
        length = m_fileSize - offset;

    void *view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, m_fd, off_t(offset));
    if (view == MAP_FAILED) {
        m_error = errno;
        m_viewLength = 0;
        m_view = nullptr;
        return false;
    }
    m_view = static_cast<const u8 *>(view);
    m_viewLength = length;
    const int advice = m_hint == Sequential ? MADV_SEQUENTIAL
        : m_hint == Random                  ? MADV_RANDOM
                                            : MADV_NORMAL;
    ::madvise(view, length, advice);
    return true;
}

void MappedFile::DropBefore(std::size_t end) const
{
    if (!m_view)
        return;
    const std::size_t page = PageSize();
    const std::size_t length = std::min(end, m_viewLength) / page * page;
    // A shared read-only file mapping: dropping loses nothing, the file still has the bytes.
    if (length > 0)
        ::madvise(const_cast<u8 *>(m_view), length, MADV_DONTNEED);
}

void MappedFile::Close()
{
    m_fileSize = 0;
    if (m_view) {
        ::munmap(const_cast<u8 *>(m_view), m_viewLength);
        m_view = nullptr;
        m_viewLength = 0;
    }
    closeDescriptor();
}

void MappedFile::closeDescriptor()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

const u8 &MappedFile::At(std::size_t index) const
{
    if (!m_view)
        throw std::invalid_argument("No view mapped");
    // The view, not the file, bounds what can be read.
    if (index >= m_fileSize || index >= m_viewLength)
        throw std::out_of_range("View is not large enough");
    return m_view[index];
}

std::size_t MappedFile::PageSize()
{
    return std::size_t(::sysconf(_SC_PAGESIZE));
}

bool IsEmptyRegularFile(const quorvelin::strings::oschar *path)
{
    struct stat info;
    return path && ::stat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0;
}

std::size_t WriteFileBytes(const quorvelin::strings::oschar *path, const void *data,
                           std::size_t length)
{
    return WriteFileBytes(path, data, length, nullptr);
}

std::size_t WriteFileBytes(const quorvelin::strings::oschar *path, const void *data,
                           std::size_t length, int *error)
{
    int failure = 0;
    std::FILE *file = path ? std::fopen(path, "wb") : nullptr;
    if (!file) {
        if (error)
            *error = path ? errno : EFAULT;
        return 0;
    }
    errno = 0;
    std::size_t written = length ? std::fwrite(data, 1, length, file) : 0;
    if (written != length)
        failure = errno;
    // Buffered bytes that never reach the disk are as lost as a short write.
    if (std::fclose(file) != 0) {
        if (written == length)
            failure = errno;
        written = 0;
    }
    if (written != length) {
        // Only a regular file can be half written; devices and the like stay.
        struct stat status;
        if (::stat(path, &status) == 0 && S_ISREG(status.st_mode))
            std::remove(path);
        if (error)
            *error = failure;
        return 0;
    }
    return written;
}

} // namespace quorpatch
