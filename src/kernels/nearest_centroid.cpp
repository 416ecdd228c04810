// The assignment loop compiled for each instruction set: the same source, so the same
// operations in the same order; only the width of the registers differs.
#include "nearest_centroid.hpp"

#include "dispatch.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

void nearest_centroids(const CentroidBlocks& c, const float* rows, size_t n, uint32_t* out) {
    active().nearest_centroids(c, rows, n, out);
}

namespace portable {
void nearest_centroids(const CentroidBlocks& c, const float* rows, size_t n, uint32_t* out) {
    nearest_centroids_loop(c, rows, n, out);
}
}  // namespace portable

namespace avx2 {
__attribute__((target("avx2"))) void nearest_centroids(const CentroidBlocks& c, const float* rows, size_t n,
                                                       uint32_t* out) {
    nearest_centroids_loop(c, rows, n, out);
}
}  // namespace avx2

namespace avx512 {
__attribute__((target("avx512f,avx512bw,avx512vl"))) void nearest_centroids(const CentroidBlocks& c, const float* rows,
                                                                             size_t n, uint32_t* out) {
    nearest_centroids_loop(c, rows, n, out);
}
}  // namespace avx512

}  // namespace quillane::kernels
