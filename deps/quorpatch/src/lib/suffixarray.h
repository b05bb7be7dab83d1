#ifndef QUORPATCH_SUFFIXARRAY_H
#define QUORPATCH_SUFFIXARRAY_H

#include <cstdint>

namespace quorpatch {

// Suffix arrays and Burrows-Wheeler transforms by induced sorting (SA-IS), linear in n; byte
// texts are sorted by libdivsufsort instead where it is installed (the array is the same).
// All return -1 for a null pointer, a negative n or an alphabet size below 1, and -2 when
// working memory cannot be allocated. The suffix array lists the start of every non-empty
// suffix in lexicographic order (a proper prefix sorts first).

// text: n bytes; sa: room for n entries. Returns 0 on success.
int buildSuffixArray(const std::uint8_t *text, std::int32_t *sa, int n);

// text: n symbols, each in [0, k). Returns 0 on success.
int buildSuffixArrayInt(const std::int32_t *text, std::int32_t *sa, int n, int k);

// Burrows-Wheeler transform with an implicit end marker that sorts first: out receives the n
// symbols of the last column with the end marker left out, work is scratch space of n entries
// (it holds the suffix array afterwards). Returns the primary index, the row at which the end
// marker stands in the last column (1..n; 0 for an empty text); out must not overlap text.
int buildBwt(const std::uint8_t *text, std::uint8_t *out, std::int32_t *work, int n);
int buildBwtInt(const std::int32_t *text, std::int32_t *out, std::int32_t *work, int n, int k);

} // namespace quorpatch

#endif // QUORPATCH_SUFFIXARRAY_H
