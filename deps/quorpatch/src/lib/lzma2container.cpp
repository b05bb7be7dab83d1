#include "lzma2container.h"

#include "logmessage.h"
#include "lzmaioout.h"
#include "preprocessedcontainer.h"

#include <cerrno>

namespace quorpatch {

namespace {

bool WritePlainContainer(const u8 *data, std::size_t length, SinkStream *out, u32 checksum)
{
    if (!WriteContainerHeader(out, checksum))
        return false;
    if (!out->WriteVarint32(kDirectivePlain)) {
        QP_LOG(LogLevel_ERROR) << "could not write preprocess directive";
        return false;
    }
    if (!Lzma2EncodeBuffer(data, length, out)) {
        QP_LOG(LogLevel_ERROR) << "could not compress file";
        return false;
    }
    return true;
}

// Directive 2: the payload is a stream set of encoded programs followed by a diff.
bool RestorePrograms(SourceStream *source, SinkStream *output, int *systemError)
{
    SinkStream payload;
    if (!Lzma2DecodeBlock(source, &payload)) {
        if (payload.Failed())
            *systemError = ENOMEM;
        QP_LOG(LogLevel_ERROR) << "could not decompress file";
        return false;
    }
    SourceStreamSet set;
    if (!set.Parse(payload.Buffer(), payload.Length())) {
        QP_LOG(LogLevel_ERROR) << "could not init dif_and_dis set";
        return false;
    }
    // Checks the set's size itself.
    return RestorePreprocessed(&set, output);
}

} // namespace

bool WriteContainerHeader(SinkStream *sink, u32 checksum)
{
    if (!sink->WriteVarint32(kContainerMagic)) {
        QP_LOG(LogLevel_ERROR) << "could not write magic";
        return false;
    }
    if (!sink->WriteVarint32(checksum)) {
        QP_LOG(LogLevel_ERROR) << "could not write crc";
        return false;
    }
    return true;
}

void CompressPlain(const MappedFile &input, SinkStream *out, u32 checksum)
{
    WritePlainContainer(input.Data(), input.Length(), out, checksum);
}

bool DecompressFile(const quorvelin::strings::oschar *inputPath,
                    const quorvelin::strings::oschar *outputPath)
{
    return DecompressFile(inputPath, outputPath, nullptr);
}

bool DecompressFile(const quorvelin::strings::oschar *inputPath,
                    const quorvelin::strings::oschar *outputPath, int *systemError)
{
    int unused = 0;
    int &error = systemError ? *systemError : unused;
    error = 0;
    MappedFile input(inputPath, 0, MappedFile::Normal);
    if (!input.IsValid()) {
        // Saved first: the check for an empty file is a system call of its own.
        const int mapError = input.Error();
        // An empty file is read well enough: it just holds no container.
        if (!IsEmptyRegularFile(inputPath))
            error = mapError;
        QP_LOG(LogLevel_ERROR) << "could not open lzma file";
        return false;
    }

    SourceStream source(input.Data(), input.Length());
    u32 magic = 0;
    u32 checksum = 0;
    u32 directive = 0;
    if (!source.ReadVarint32(&magic) || !source.ReadVarint32(&checksum)
        || !source.ReadVarint32(&directive)) {
        QP_LOG(LogLevel_ERROR) << "could not read lzma header";
        return false;
    }
    if (magic != kContainerMagic) {
        QP_LOG(LogLevel_ERROR) << "not lzma file";
        return false;
    }

    SinkStream output;
    switch (directive) {
    case kDirectivePlain:
        if (!Lzma2DecodeBlock(&source, &output, input)) {
            if (output.Failed())
                error = ENOMEM;
            QP_LOG(LogLevel_ERROR) << "could not decompress file";
            return false;
        }
        break;
    case kDirectivePrograms:
        if (!RestorePrograms(&source, &output, &error)) {
            if (output.Failed())
                error = ENOMEM;
            return false;
        }
        break;
    default:
        QP_LOG(LogLevel_ERROR) << "Unknown preprocessing dirrective";
        return false;
    }

    if (CalculateCrc(output.Buffer(), output.Length()) != checksum) {
        QP_LOG(LogLevel_ERROR) << "crc mismatch";
        return false;
    }
    // A failed write leaves no partial file behind.
    if (WriteFileBytes(outputPath, output.Buffer(), output.Length(), &error) != output.Length()) {
        // Not written is never the container's fault.
        if (error == 0)
            error = EIO;
        QP_LOG(LogLevel_ERROR) << "could not write output file";
        return false;
    }
    return true;
}

bool CompressFile(const quorvelin::strings::oschar *inputPath,
                  const quorvelin::strings::oschar *outputPath, bool preprocess)
{
    MappedFile input(inputPath, 0, MappedFile::Normal);
    const bool empty = !input.IsValid() && IsEmptyRegularFile(inputPath);
    if (!input.IsValid() && !empty) {
        QP_LOG(LogLevel_ERROR) << "could not open file";
        return false;
    }
    const u8 *data = empty ? nullptr : input.Data();
    const std::size_t length = empty ? 0 : input.Length();
    const u32 checksum = CalculateCrc(data, length);

    // Files without executables, and failed preprocessing, are stored plain.
    SinkStream output;
    const PreprocessResult preprocessed
        = preprocess ? CompressPreprocessed(data, length, &output, checksum) : kPreprocessPlain;
    if (preprocessed == kPreprocessFailed)
        return false;
    if (preprocessed == kPreprocessPlain && !WritePlainContainer(data, length, &output, checksum))
        return false;

    // A failed write leaves no partial file behind.
    if (WriteFileBytes(outputPath, output.Buffer(), output.Length()) != output.Length()) {
        QP_LOG(LogLevel_ERROR) << "could not write output file";
        return false;
    }
    return true;
}

} // namespace quorpatch
