#include "ensemblepatchwriter.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "assemblyprogram.h"
#include "detection.h"
#include "encodedprogram.h"
#include "ensemblepatchapplier.h"
#include "lzmaioout.h"
#include "qvdiff.h"
#include "streams.h"

using namespace quorpatch;

namespace qvxtest {

namespace {

Bytes toBytes(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes serialise(SinkStreamSet *set)
{
    SinkStream sink;
    if (!set->SerializeTo(&sink))
        return Bytes();
    return toBytes(sink);
}

// The same steps the applier takes for an element of the old file.
bool transformElement(const u8 *data, std::size_t length, SinkStreamSet *out)
{
    AssemblyProgram *program = nullptr;
    if (ParseDetectedExecutable(data, length, &program) != STATUS_OK)
        return false;
    EncodedProgram *encoded = nullptr;
    bool ok = TrimLabels(program) == STATUS_OK && Encode(program, &encoded) == STATUS_OK;
    DeleteAssemblyProgram(program);
    ok = ok && WriteEncodedProgram(encoded, out) == STATUS_OK;
    DeleteEncodedProgram(encoded);
    return ok;
}

} // namespace

std::vector<EnsembleElement> FindEnsembleElements(const Bytes &oldFile, const Bytes &newFile)
{
    ExecutableType oldType = EXE_UNKNOWN;
    ExecutableType newType = EXE_UNKNOWN;
    std::size_t oldLength = 0;
    std::size_t newLength = 0;
    if (DetectExecutableType(oldFile.data(), oldFile.size(), &oldType, &oldLength) != STATUS_OK
        || DetectExecutableType(newFile.data(), newFile.size(), &newType, &newLength) != STATUS_OK
        || oldType != newType)
        return {};
    return {EnsembleElement {0, oldLength, 0, newLength, oldType}};
}

Bytes InitialParameters(const std::vector<EnsembleElement> &elements)
{
    SinkStream sink;
    sink.WriteSize(elements.size());
    for (const EnsembleElement &element : elements)
        sink.WriteVarint32(element.type);
    for (const EnsembleElement &element : elements) {
        sink.WriteSize(element.oldOffset);
        sink.WriteSize(element.oldLength);
    }
    return toBytes(sink);
}

Bytes PredictedParameters(std::size_t elementCount)
{
    SinkStreamSet predicted;
    for (std::size_t i = 0; i < elementCount; ++i) {
        SinkStreamSet empty;
        predicted.WriteNestedSet(&empty);
    }
    return serialise(&predicted);
}

Bytes TransformedElements(const Bytes &file,
                          const std::vector<std::pair<std::size_t, std::size_t>> &ranges, bool *ok)
{
    *ok = false;
    SinkStreamSet transformed;
    for (const auto &range : ranges) {
        if (range.first > file.size() || range.second > file.size() - range.first)
            return Bytes();
        SinkStreamSet element;
        if (!transformElement(file.data() + range.first, range.second, &element)
            || !transformed.WriteNestedSet(&element))
            return Bytes();
    }
    *ok = true;
    return serialise(&transformed);
}

bool ReformedData(const Bytes &oldFile, const Bytes &transformedElements, std::size_t count,
                  Bytes *reformed)
{
    SourceStreamSet set;
    if (!set.Parse(transformedElements.data(), transformedElements.size()))
        return false;
    SinkStream sink;
    if (!sink.Write(oldFile.data(), oldFile.size()))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        SourceStreamSet element;
        EncodedProgram *encoded = nullptr;
        if (!set.ReadNestedSet(&element) || ReadEncodedProgram(&element, &encoded) != STATUS_OK)
            return false;
        const bool assembled = Assemble(encoded, &sink) == STATUS_OK;
        DeleteEncodedProgram(encoded);
        if (!assembled)
            return false;
    }
    *reformed = toBytes(sink);
    return true;
}

bool MakeBinaryDiff(const Bytes &oldData, const Bytes &newData, Bytes *diff)
{
    // The suffix sorter refuses a null text, even an empty one.
    static const u8 kNothing = 0;
    SourceStream oldStream(oldData.empty() ? &kNothing : oldData.data(), oldData.size());
    SourceStream newStream(newData.empty() ? &kNothing : newData.data(), newData.size());
    SinkStream sink;
    if (!GenerateBinaryPatch(&oldStream, &newStream, &sink, false, 0))
        return false;
    *diff = toBytes(sink);
    return true;
}

Bytes Lzma2Block(const Bytes &data)
{
    SinkStream sink;
    if (!Lzma2EncodeBuffer(data.data(), data.size(), &sink))
        return Bytes();
    return toBytes(sink);
}

u32 Checksum(const Bytes &data)
{
    return CalculateCrc(data.data(), data.size());
}

bool MakeEnsemblePatchParts(const Bytes &oldFile, const Bytes &newFile,
                            const std::vector<EnsembleElement> &elements, EnsemblePatchParts *parts)
{
    std::vector<std::pair<std::size_t, std::size_t>> oldRanges;
    std::vector<std::pair<std::size_t, std::size_t>> newRanges;
    for (const EnsembleElement &element : elements) {
        oldRanges.emplace_back(element.oldOffset, element.oldLength);
        newRanges.emplace_back(element.newOffset, element.newLength);
    }

    parts->magic = kEnsemblePatchMagic;
    parts->version = kEnsemblePatchVersion;
    parts->sourceChecksum = Checksum(oldFile);
    parts->targetChecksum = Checksum(newFile);
    parts->streams.assign(kMaxStreams, Bytes());
    parts->streams[0] = InitialParameters(elements);

    // The patcher takes no parameters, so the corrected ones are the predicted ones.
    const Bytes predicted = PredictedParameters(elements.size());
    if (!MakeBinaryDiff(predicted, predicted, &parts->streams[1]))
        return false;

    bool ok = false;
    const Bytes oldElements = TransformedElements(oldFile, oldRanges, &ok);
    if (!ok)
        return false;
    const Bytes newElements = TransformedElements(newFile, newRanges, &ok);
    if (!ok || !MakeBinaryDiff(oldElements, newElements, &parts->streams[2]))
        return false;

    Bytes reformed;
    if (!ReformedData(oldFile, newElements, elements.size(), &reformed)
        || !MakeBinaryDiff(reformed, newFile, &parts->streams[3]))
        return false;
    parts->finalInputSize = u32(reformed.size());
    return true;
}

Bytes EnsemblePatchHeader(const EnsemblePatchParts &parts)
{
    SinkStream sink;
    sink.WriteVarint32(parts.magic);
    sink.WriteVarint32(parts.version);
    sink.WriteVarint32(parts.sourceChecksum);
    sink.WriteVarint32(parts.targetChecksum);
    sink.WriteVarint32(parts.finalInputSize);
    return toBytes(sink);
}

Bytes SerializePayloadSet(const std::vector<Bytes> &streams)
{
    SinkStreamSet set;
    if (streams.size() > kMaxStreams)
        return Bytes();
    set.SetCount(streams.size());
    for (std::size_t i = 0; i < streams.size(); ++i)
        set.stream(i)->Write(streams[i].data(), streams[i].size());
    return serialise(&set);
}

Bytes SerializeEnsemblePatch(const EnsemblePatchParts &parts)
{
    Bytes patch = EnsemblePatchHeader(parts);
    const Bytes payload = Lzma2Block(SerializePayloadSet(parts.streams));
    patch.insert(patch.end(), payload.begin(), payload.end());
    return patch;
}

Bytes MakeEnsemblePatch(const Bytes &oldFile, const Bytes &newFile)
{
    EnsemblePatchParts parts;
    if (!MakeEnsemblePatchParts(oldFile, newFile, FindEnsembleElements(oldFile, newFile), &parts))
        return Bytes();
    return SerializeEnsemblePatch(parts);
}

Bytes ReadFileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteBytes(const std::string &path, const Bytes &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

} // namespace qvxtest
