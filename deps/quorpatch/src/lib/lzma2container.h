#ifndef QUORPATCH_LZMA2CONTAINER_H
#define QUORPATCH_LZMA2CONTAINER_H

#include "mappedfile.h"
#include "streams.h"
#include "types.h"

namespace quorpatch {

// Container file: varint32 magic, varint32 checksum of the restored file, varint32
// directive, then one LZMA2 block. Directive 1 stores the file itself; directive 2 stores
// a stream set of encoded programs and a diff that rebuilds the file from them.
constexpr u32 kContainerMagic = 132781929;

enum ContainerDirective : u32 {
    kDirectivePlain = 1,
    kDirectivePrograms = 2,
};

// One executable element of a file stored with directive 2.
struct ElementRange
{
    u64 offset;
    u64 length;
    ExecutableType type;
};

// Restores a container file. True only when the restored file was written completely;
// on failure no output file is left behind.
bool DecompressFile(const quorvelin::strings::oschar *inputPath,
                    const quorvelin::strings::oschar *outputPath);
// As above; on failure *systemError (when not null) gets the errno of the system call that
// failed (the input not read, the output not written, no memory), or 0 when the input is no
// sound container (damaged, cut short, empty, or something else).
bool DecompressFile(const quorvelin::strings::oschar *inputPath,
                    const quorvelin::strings::oschar *outputPath, int *systemError);

// Packs a file into a container. With preprocess set, executables may be stored as
// programs; any other file is stored plain.
bool CompressFile(const quorvelin::strings::oschar *inputPath,
                  const quorvelin::strings::oschar *outputPath, bool preprocess);

// Appends a directive-1 container of the mapped input to out; failures are logged.
void CompressPlain(const MappedFile &input, SinkStream *out, u32 checksum);

bool WriteContainerHeader(SinkStream *sink, u32 checksum);

} // namespace quorpatch

#endif // QUORPATCH_LZMA2CONTAINER_H
