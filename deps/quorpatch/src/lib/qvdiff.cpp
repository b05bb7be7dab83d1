// Application of QVDIFF10 diffs. Every length and offset in a diff is checked before use: a
// hostile diff reads nothing outside the old data, the three body strings or the patch stream.

#include "qvdiff.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "logmessage.h"
#include "lzmaioout.h"
#include "streams.h"

namespace quorpatch {

namespace {

// Control, diff and extra bytes of a diff body, with the sinks that hold them once decoded.
struct BodyStrings
{
    SinkStream controlSink;
    SinkStream diffSink;
    SinkStream extraSink;
    SinkStream bodySink;
    SourceStream control;
    SourceStream diff;
    SourceStream extra;
};

// Three lengths, then the three strings back to back; body moves past them.
bool takeRawBody(SourceStream *body, BodyStrings *strings)
{
    u32 controlLength = 0;
    u32 diffLength = 0;
    u32 extraLength = 0;
    return body->ReadVarint32(&controlLength) && body->ReadVarint32(&diffLength)
        && body->ReadVarint32(&extraLength) && body->TakeSubstream(controlLength, &strings->control)
        && body->TakeSubstream(diffLength, &strings->diff)
        && body->TakeSubstream(extraLength, &strings->extra);
}

// Three LZMA2 blocks, with the diff bytes decoded straight into the output's room behind the
// place where the result will stand: the diff bytes, usually nearly the whole size, are then
// never held twice. A diff run at output offset w reads from offset gap + (diff bytes used
// before), never below w as long as gap covers every extra byte written before it, which
// gap = new size - diff length does for every consistent diff. A diff whose extra bytes turn
// out longer has its diff bytes copied out and read the usual way.
bool readStreams(SourceStream *patch, u32 newSize, SinkStream *output, BodyStrings *strings)
{
    if (!Lzma2DecodeBlock(patch, &strings->controlSink))
        return false;
    strings->control.Init(strings->controlSink);
    u32 diffSize = 0;
    const bool stated = Lzma2PeekBlockSize(*patch, &diffSize);
    const size_t diffRoom = Lzma2BlockRoom(diffSize, patch->Remaining());
    const size_t gap = newSize > diffSize ? size_t(newSize - diffSize) : 0;
    // No header, or a gap that no extra block behind could fill: the usual way, and its texts.
    if (!stated || gap > Lzma2BlockRoom(newSize, patch->Remaining())) {
        if (!Lzma2DecodeBlock(patch, &strings->diffSink)
            || !Lzma2DecodeBlock(patch, &strings->extraSink))
            return false;
        strings->diff.Init(strings->diffSink);
        strings->extra.Init(strings->extraSink);
        return true;
    }
    const size_t start = output->Length();
    if (!output->Reserve(start + gap + diffRoom)) {
        QP_LOG(LogLevel_ERROR) << "unable to allocate sink space";
        return false;
    }
    u8 *diffBytes = output->Buffer() ? output->Buffer() + start + gap : nullptr;
    size_t diffLength = 0;
    if (!Lzma2DecodeBlockInto(patch, diffBytes, diffRoom, &diffLength)
        || !Lzma2DecodeBlock(patch, &strings->extraSink))
        return false;
    strings->extra.Init(strings->extraSink);
    if (strings->extraSink.Length() <= gap) {
        strings->diff = SourceStream(diffBytes, diffLength);
        return true;
    }
    if (!strings->diffSink.Write(diffBytes, diffLength))
        return false;
    strings->diff.Init(strings->diffSink);
    return true;
}

// Whether [data, data + length) lies in the output's room behind its bytes.
bool inRoom(const SinkStream &output, const u8 *data, size_t length)
{
    // Ordered as addresses: data may lie in another allocation.
    const std::less_equal<const u8 *> notAfter;
    const u8 *room = output.Buffer() ? output.Buffer() + output.Length() : nullptr;
    return room && length != 0 && notAfter(room, data)
        && notAfter(data + length, output.Buffer() + output.Capacity());
}

// Moves stream's bytes into sink and points stream at them there.
bool copyOut(SourceStream *stream, SinkStream *sink)
{
    if (!sink->Write(stream->Buffer(), stream->Remaining()))
        return false;
    stream->Init(*sink);
    return true;
}

// A raw body may lie in the output's room (a decoded payload the result is built over). The
// result is written forward from the room's start, so a string stays in place only when
// everything written before its last byte is read comes from ahead of it: the diff bytes need
// at least the extra bytes' length before them, the extra bytes the diff bytes' length. Diff
// bytes followed by their extra bytes are moved up by what is missing when the room holds
// that. The control bytes are read throughout and always move out, as does everything when
// the result needs more than the room.
bool settleInRoom(SinkStream *output, u32 newSize, BodyStrings *strings)
{
    u8 *room = output->Buffer() ? output->Buffer() + output->Length() : nullptr;
    const size_t roomLength = output->Capacity() - output->Length();
    const size_t diffLength = strings->diff.Remaining();
    const size_t extraLength = strings->extra.Remaining();
    const u64 needed = std::min<u64>(newSize, u64(diffLength) + u64(extraLength));
    const bool fits = room && needed <= u64(roomLength);
    const bool diffHere = inRoom(*output, strings->diff.Buffer(), diffLength);
    const bool extraHere = inRoom(*output, strings->extra.Buffer(), extraLength);
    if (inRoom(*output, strings->control.Buffer(), strings->control.Remaining())
        && !copyOut(&strings->control, &strings->controlSink))
        return false;
    if (fits && diffHere && extraHere
        && strings->extra.Buffer() == strings->diff.Buffer() + diffLength) {
        const size_t at = size_t(strings->diff.Buffer() - room);
        const size_t total = diffLength + extraLength;
        if (at < extraLength && extraLength <= roomLength - total) {
            u8 *moved = room + extraLength;
            std::memmove(moved, strings->diff.Buffer(), total);
            strings->diff.Init(moved, diffLength);
            strings->extra.Init(moved + diffLength, extraLength);
        }
    }
    if (diffHere && (!fits || size_t(strings->diff.Buffer() - room) < extraLength)
        && !copyOut(&strings->diff, &strings->diffSink))
        return false;
    if (extraHere && (!fits || size_t(strings->extra.Buffer() - room) < diffLength)
        && !copyOut(&strings->extra, &strings->extraSink))
        return false;
    return true;
}

bool readBody(int method, u32 newSize, SourceStream *patch, SinkStream *output,
              BodyStrings *strings)
{
    switch (method) {
    case BINARY_PATCH_LZMA2_STREAMS:
        return readStreams(patch, newSize, output, strings);
    case BINARY_PATCH_LZMA2_BODY: {
        if (!Lzma2DecodeBlock(patch, &strings->bodySink))
            return false;
        SourceStream body;
        body.Init(strings->bodySink);
        return takeRawBody(&body, strings);
    }
    default:
        return takeRawBody(patch, strings) && settleInRoom(output, newSize, strings);
    }
}

} // namespace

bool ApplyBinaryPatch(SourceStream *old_stream, SourceStream *patch_stream, SinkStream *output,
                      bool header)
{
    // Work on a copy so that a failed diff leaves the caller's stream in place.
    SourceStream patch = *patch_stream;

    u32 checksum = 0;
    if (header) {
        char magic[kBinaryPatchMagicLength];
        if (!patch.Read(magic, sizeof(magic)))
            return false;
        if (std::memcmp(magic, kBinaryPatchMagic, sizeof(magic)) != 0) {
            QP_LOG(LogLevel_ERROR) << "Corrupt patch header";
            return false;
        }
        if (!patch.ReadVarint32(&checksum)) {
            QP_LOG(LogLevel_ERROR) << "Could not read crc";
            return false;
        }
    }

    u8 method = 0;
    if (!patch.Read(&method, 1))
        return false;
    if (method > BINARY_PATCH_LZMA2_BODY) {
        QP_LOG(LogLevel_ERROR) << "Invalid compression method";
        return false;
    }
    u32 newSize = 0;
    if (!patch.ReadVarint32(&newSize))
        return false;

    // A compressed body in the output's room would be written over while it is decoded.
    SinkStream patchCopy;
    const SourceStream inPlace = patch;
    const bool copied
        = method != BINARY_PATCH_RAW && inRoom(*output, patch.Buffer(), patch.Remaining());
    if (copied) {
        if (!copyOut(&patch, &patchCopy))
            return false;
    }

    BodyStrings strings;
    if (!readBody(method, newSize, &patch, output, &strings))
        return false;

    // The output can never exceed what the diff and extra bytes supply, so a hostile size
    // cannot make us reserve more than the diff itself accounts for. Diff bytes decoded into
    // the output's room already have what they need, which this leaves in place.
    const size_t start = output->Length();
    const u64 supply = u64(strings.diff.Remaining()) + u64(strings.extra.Remaining());
    if (!output->Reserve(start + size_t(std::min<u64>(newSize, supply))))
        return false;

    const u8 *oldData = old_stream->Buffer();
    const u64 oldLength = old_stream->Remaining();
    i32 oldPosition = 0;
    u64 produced = 0;
    while (produced < newSize) {
        i32 diffLength = 0;
        i32 extraLength = 0;
        i32 adjustment = 0;
        if (!strings.control.ReadSignedVarint32(&diffLength)
            || !strings.control.ReadSignedVarint32(&extraLength)
            || !strings.control.ReadSignedVarint32(&adjustment)) {
            QP_LOG(LogLevel_ERROR) << "Corrupt patch reading control";
            return false;
        }
        if (diffLength < 0 || extraLength < 0)
            return false;
        // The run [oldPosition, oldPosition + diffLength) must lie inside the old data; the
        // position itself may have been driven below zero by earlier adjustments.
        const i32 runEnd = i32(u32(oldPosition) + u32(diffLength));
        if (oldPosition < 0 || runEnd < 0 || u64(runEnd) > oldLength)
            return false;
        if (u64(diffLength) > strings.diff.Remaining()
            || u64(extraLength) > strings.extra.Remaining())
            return false;
        // A run past the stated size would give a longer result than the diff declares.
        if (produced + u64(diffLength) > newSize) {
            QP_LOG(LogLevel_ERROR) << "Corrupt patch";
            return false;
        }

        if (diffLength > 0) {
            // The diff bytes may lie in the output's own room, ahead of the run: going forward
            // reads each one before anything is written over it.
            u8 *run = output->Buffer() + output->Length();
            const u8 *delta = strings.diff.Buffer();
            const u8 *source = oldData + oldPosition;
            for (i32 k = 0; k < diffLength; ++k)
                run[k] = u8(delta[k] + source[k]);
            if (!output->Commit(size_t(diffLength)))
                return false;
        }
        strings.diff.Skip(size_t(diffLength));
        produced += u64(diffLength);

        if (produced + u64(extraLength) > newSize) {
            QP_LOG(LogLevel_ERROR) << "Corrupt patch";
            return false;
        }
        // Reserved above; the extra bytes may lie in the room too, ahead of where they go.
        if (extraLength > 0) {
            std::memmove(output->Buffer() + output->Length(), strings.extra.Buffer(),
                         size_t(extraLength));
            if (!output->Commit(size_t(extraLength)))
                return false;
        }
        strings.extra.Skip(size_t(extraLength));
        produced += u64(extraLength);

        oldPosition = i32(u32(oldPosition) + u32(diffLength) + u32(adjustment));
    }

    if (header) {
        static const u8 kNothing = 0;
        const u8 *result = newSize ? output->Buffer() + start : &kNothing;
        if (CalculateCrc(result, newSize) != checksum) {
            QP_LOG(LogLevel_ERROR) << "crc mismatch";
            return false;
        }
    }
    if (copied) {
        SourceStream moved = inPlace;
        moved.Skip(patch.Position());
        patch = moved;
    }
    *patch_stream = patch;
    return true;
}

} // namespace quorpatch
