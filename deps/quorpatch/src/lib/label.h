#ifndef QUORPATCH_LABEL_H
#define QUORPATCH_LABEL_H

#include <cstdint>

namespace quorpatch {

// One target address of the program. Every reference to the address shares the label, so the
// encoded program stores only the label's index at each reference.
struct Label
{
    static constexpr int32_t kNoIndex = -1;

    explicit Label(uint32_t rva_)
        : rva(rva_)
    { }

    uint32_t rva = 0;
    int32_t index = kNoIndex; // position in the encoded label table
    int32_t count = 0; // number of look-ups, i.e. of references to the address
};

} // namespace quorpatch

#endif // QUORPATCH_LABEL_H
