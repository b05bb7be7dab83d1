#ifndef QUORPATCH_PATCHERX86_32_H
#define QUORPATCH_PATCHERX86_32_H

#include <boost/noncopyable.hpp>

#include <cstddef>

#include "transformationpatcher.h"
#include "types.h"

namespace quorpatch {

// The patcher of every executable element: the element is disassembled and carried as its
// encoded program.
class PatcherX86_32 : boost::noncopyable, public TransformationPatcher
{
public:
    // The old file must outlive the patcher.
    PatcherX86_32(const u8 *oldStart, std::size_t oldLength);
    ~PatcherX86_32() override;

    Status Init(SourceStream *parameters) override;
    Status PredictTransformParameters(SinkStreamSet *predicted) override;
    Status Transform(SourceStreamSet *parameters, SinkStreamSet *transformed) override;
    Status Reform(SourceStreamSet *transformed, SinkStream *output) override;

    u32 baseOffset() const { return m_baseOffset; }
    u32 baseLength() const { return m_baseLength; }

private:
    const u8 *m_oldStart;
    std::size_t m_oldLength;
    u32 m_baseOffset = 0;
    u32 m_baseLength = 0;
};

} // namespace quorpatch

#endif // QUORPATCH_PATCHERX86_32_H
