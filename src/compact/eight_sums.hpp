// The compact family's sums: term i into partial sum i % 8 (ascending i, each from +0.0),
// combined as ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)). Eight independent chains
// instead of one, the same bits on every machine.
#pragma once

#include <cstddef>

namespace quillane::compact {

struct EightSums {
    double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    void add(size_t i, double term) { s[i % 8] = s[i % 8] + term; }
    double total() const { return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7])); }

    // add(i, term(i)) for i < n, eight at a time: the same sums, in a shape the compiler
    // turns into vector lanes (each lane still adds its own terms in order).
    template <class Term> void add_all(size_t n, Term term) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            for (size_t l = 0; l < 8; ++l) s[l] = s[l] + term(i + l);
        }
        for (; i < n; ++i) add(i, term(i));
    }
};

}  // namespace quillane::compact
