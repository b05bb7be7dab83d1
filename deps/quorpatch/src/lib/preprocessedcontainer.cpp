#include "preprocessedcontainer.h"

#include "assemblyprogram.h"
#include "detection.h"
#include "encodedprogram.h"
#include "logmessage.h"
#include "lzmaioout.h"
#include "qvdiff.h"

namespace quorpatch {

namespace {

constexpr std::size_t kFatMinimumLength = 4096;
constexpr u32 kFatMaximumArchitectures = 8;
constexpr std::size_t kFatHeaderLength = 8;
constexpr std::size_t kFatArchitectureLength = 20;

u32 readBigEndian32(const u8 *p)
{
    return (u32(p[0]) << 24) | (u32(p[1]) << 16) | (u32(p[2]) << 8) | u32(p[3]);
}

// The executable slices of a fat Mach-O file; false when the file is not one, or when its
// architecture table cannot be trusted.
bool findFatElements(const u8 *data, std::size_t length, std::vector<ElementRange> *elements)
{
    elements->clear();
    if (length < kFatMinimumLength || data[0] != 0xCA || data[1] != 0xFE || data[2] != 0xBA
        || data[3] != 0xBE)
        return false;
    const u32 count = readBigEndian32(data + 4);
    if (count < 1 || count > kFatMaximumArchitectures)
        return false;

    for (u32 i = 0; i < count; ++i) {
        const u8 *entry = data + kFatHeaderLength + i * kFatArchitectureLength;
        const u64 offset = readBigEndian32(entry + 8);
        const u64 size = readBigEndian32(entry + 12);
        if (offset + size > length)
            return false;
        for (const ElementRange &taken : *elements) {
            if (offset < taken.offset + taken.length && taken.offset < offset + size)
                return false;
        }
        ExecutableType type = EXE_UNKNOWN;
        std::size_t detected = 0;
        if (DetectExecutableType(data + offset, std::size_t(size), &type, &detected) != STATUS_OK)
            continue;
        if (detected > size)
            return false;
        elements->push_back(ElementRange {offset, size, type});
    }
    return true;
}

// The failure text of the first step that failed, or null.
const char *writePrograms(const u8 *data, std::size_t length,
                          const std::vector<ElementRange> &elements, SinkStream *out, u32 checksum,
                          int *level)
{
    *level = LogLevel_ERROR;
    if (!WriteContainerHeader(out, checksum))
        return "";
    if (!out->WriteVarint32(kDirectivePrograms))
        return "could not write preprocess directive";

    SinkStreamSet outer;
    if (!outer.SetCount(elements.size() + 1))
        return "could not combine streams";
    SinkStream reassembled;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const ElementRange &element = elements[i];
        AssemblyProgram *program = nullptr;
        if (ParseDetectedExecutable(data + element.offset, std::size_t(element.length), &program)
            != STATUS_OK) {
            *level = LogLevel_WARNING;
            return "could not parse file";
        }
        EncodedProgram *encoded = nullptr;
        const char *failure = nullptr;
        if (TrimLabels(program) != STATUS_OK)
            failure = "could not trim labels";
        else if (Encode(program, &encoded) != STATUS_OK)
            failure = "could not encode program";
        DeleteAssemblyProgram(program);
        if (!failure) {
            SinkStreamSet programSet;
            if (WriteEncodedProgram(encoded, &programSet) != STATUS_OK)
                failure = "could not write encode program";
            else if (!programSet.SerializeTo(outer.stream(i)))
                failure = "could not combine streams";
            else if (Assemble(encoded, &reassembled) != STATUS_OK)
                failure = "could not assemble program";
        }
        DeleteEncodedProgram(encoded);
        if (failure)
            return failure;
    }

    SourceStream oldData;
    oldData.Init(reassembled);
    SourceStream newData(data, length);
    if (!GenerateBinaryPatch(&oldData, &newData, outer.stream(elements.size()), false,
                             BINARY_PATCH_RAW))
        return "could not generate diff";
    SinkStream payload;
    if (!outer.SerializeTo(&payload))
        return "could not combine dis and dif";
    if (!Lzma2EncodeBuffer(payload.Buffer(), payload.Length(), out))
        return "could not compress file";
    return nullptr;
}

} // namespace

Status FindContainerElements(const u8 *data, std::size_t length,
                             std::vector<ElementRange> *elements)
{
    if (findFatElements(data, length, elements) && !elements->empty())
        return STATUS_OK;
    elements->clear();
    ExecutableType type = EXE_UNKNOWN;
    std::size_t detected = 0;
    const Status status = DetectExecutableType(data, length, &type, &detected);
    if (status == STATUS_OK)
        elements->push_back(ElementRange {0, detected, type});
    return status;
}

PreprocessResult CompressPreprocessed(const u8 *data, std::size_t length, SinkStream *out,
                                      u32 checksum)
{
    std::vector<ElementRange> elements;
    const Status status = FindContainerElements(data, length, &elements);
    if (status == STATUS_NOT_EXECUTABLE)
        return kPreprocessPlain;
    if (status != STATUS_OK) {
        QP_LOG(LogLevel_ERROR) << "error detecting file type " << int(status);
        return kPreprocessFailed;
    }
    for (const ElementRange &element : elements)
        QP_LOG(LogLevel_DEBUG) << "detected " << ExecutableTypeName(element.type);

    int level = LogLevel_ERROR;
    const char *failure = writePrograms(data, length, elements, out, checksum, &level);
    if (failure) {
        // The header writer logs its own failures.
        if (*failure)
            QP_LOG(level) << failure;
        QP_LOG(LogLevel_WARNING) << "falling back to default compression";
        out->Release();
        return kPreprocessPlain;
    }
    return kPreprocessWritten;
}

bool RestorePreprocessed(SourceStreamSet *set, SinkStream *output)
{
    if (set->count() < 2) {
        QP_LOG(LogLevel_ERROR) << "dis_and_diff too small";
        return false;
    }
    SinkStream reassembled;
    const std::size_t programs = set->count() - 1;
    for (std::size_t i = 0; i < programs; ++i) {
        SourceStreamSet programSet;
        if (!programSet.Parse(*set->stream(i))) {
            QP_LOG(LogLevel_ERROR) << "could not init program_source set";
            return false;
        }
        EncodedProgram *encoded = nullptr;
        if (ReadEncodedProgram(&programSet, &encoded) != STATUS_OK) {
            QP_LOG(LogLevel_ERROR) << "could not read encoded program";
            return false;
        }
        const Status status = Assemble(encoded, &reassembled);
        DeleteEncodedProgram(encoded);
        if (status != STATUS_OK) {
            QP_LOG(LogLevel_ERROR) << "could not assemble program";
            return false;
        }
    }

    SourceStream oldData;
    oldData.Init(reassembled);
    if (!ApplyBinaryPatch(&oldData, set->stream(programs), output, false)) {
        QP_LOG(LogLevel_ERROR) << "could not apply diff";
        return false;
    }
    return true;
}

} // namespace quorpatch
