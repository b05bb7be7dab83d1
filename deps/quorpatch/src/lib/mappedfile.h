#ifndef QUORPATCH_MAPPEDFILE_H
#define QUORPATCH_MAPPEDFILE_H

#include <cstddef>

#include "types.h"

namespace quorvelin {
namespace strings {
// Paths are passed to the platform as they are (UTF-8).
typedef char oschar;
} // namespace strings
} // namespace quorvelin

namespace quorpatch {

// A read-only, shared memory mapping of an input file.
class MappedFile
{
public:
    enum AccessHint { Normal = 0, Sequential = 1, Random = 2 };

    MappedFile() = default;
    // Length 0 maps the whole file; see IsValid for the result.
    MappedFile(const quorvelin::strings::oschar *path, std::size_t length = 0,
               AccessHint hint = Normal);
    ~MappedFile();

    bool Open(const quorvelin::strings::oschar *path, std::size_t length = 0,
              AccessHint hint = Normal);
    bool Map(std::size_t offset, std::size_t length);
    void Close();

    bool IsValid() const { return m_view != nullptr; }
    // The errno of the call that made the last Open or Map fail; 0 after a success. An empty
    // file refused by the platform's mapping keeps that call's errno too.
    int Error() const { return m_error; }
    const u8 *Data() const { return m_view; }
    std::size_t Length() const { return m_viewLength; }
    std::size_t FileSize() const { return m_fileSize; }

    const u8 &operator[](std::size_t index) const { return m_view[index]; }
    // Throws std::invalid_argument without a view and std::out_of_range outside it.
    const u8 &At(std::size_t index) const;

    static std::size_t PageSize();

    // Lets go of the whole pages of the view before offset end once they have been read: they
    // leave this process's memory, and reading them again brings them back from the file.
    void DropBefore(std::size_t end) const;

private:
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    void closeDescriptor();

    std::size_t m_fileSize = 0;
    AccessHint m_hint = Normal;
    std::size_t m_viewLength = 0;
    int m_fd = -1;
    const u8 *m_view = nullptr;
    // Kept here: anything the caller does before asking, logging included, may change errno.
    int m_error = 0;
};

// An empty file cannot be mapped, yet it is a sound input: callers that map files ask this
// when the mapping fails.
bool IsEmptyRegularFile(const quorvelin::strings::oschar *path);

// Writes length bytes to path, creating or truncating it. Returns the number of bytes written;
// anything but length is a failure, and then no partly written file is left behind.
std::size_t WriteFileBytes(const quorvelin::strings::oschar *path, const void *data,
                           std::size_t length);
// As above; on failure *error (when not null) gets the errno of the call that failed, or 0 when
// none said why.
std::size_t WriteFileBytes(const quorvelin::strings::oschar *path, const void *data,
                           std::size_t length, int *error);

} // namespace quorpatch

#endif // QUORPATCH_MAPPEDFILE_H
