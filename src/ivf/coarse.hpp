// The inverted-file index's coarse quantizer: `lists` centroids that partition the space,
// trained by k-means whose every sum runs in a fixed order, so the same rows give the same
// centroids on every machine, instruction set and thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "kernels/centroid_dots.hpp"

namespace quillane::ivf {

struct TrainingStep {
    unsigned iteration;  // from 1
    double objective;    // sum over the sample of |x - c|^2 for its centroid (f64)
    double seconds;      // since training began
};

class CoarseQuantizer {
public:
    // Training uses at most this many rows per list, a sample chosen by the seed.
    static constexpr size_t ROWS_PER_LIST = 256;

    // nearest: assign and probe by the nearest centroid (the l2 metric's rule) and train with
    // plain means; otherwise by the highest inner product, with means rescaled to their
    // rows' mean norm.
    CoarseQuantizer(size_t dim, size_t lists, bool nearest = false);

    // k-means on n rows of dim floats (n >= lists, every value finite): the sample, the
    // initial centroids (the first `lists` sample rows of a seeded shuffle), then
    // `iterations` rounds of assignment and of means rescaled to their rows' mean norm.
    // `step` is called after each round. With `unit`, the sample rows are scaled to unit
    // length first (none of them all zero).
    void train(const float* rows, size_t n, unsigned iterations, uint64_t seed, unsigned threads,
               const std::function<void(const TrainingStep&)>& step, bool unit = false);
    // The trained centroids, row-major (lists x dim).
    void set_centroids(std::vector<float> centroids);

    // The list of each of n rows: the centroid of highest key (the lowest list among
    // equals). The key is <x, c> (the float32 product of kernels/centroid_dots.hpp), or
    // f64(<x, c>) - |c|^2 / 2 when nearest, whose highest is the nearest centroid.
    // Inner-product search ranks by <c, q> too; on real and clustered sets that rule gave
    // higher recall at few probes than the nearest centroid (bench/ivf_assignment.py).
    // Integer products bound every key first, and only the centroids whose bound reaches
    // the best lower bound get their float32 products: the same lists as assign_exactly.
    void assign(const float* rows, size_t n, unsigned threads, uint32_t* out) const;
    // The rule itself: every centroid's float32 product (the reference path).
    void assign_exactly(const float* rows, size_t n, unsigned threads, uint32_t* out) const;
    // The key by which a query with product <c_l, q> = product ranks list l.
    double key(size_t l, double product) const { return nearest_ ? product - half_norms_[l] : product; }
    // <c_l, q> for every list, the float32 product of kernels/centroid_dots.hpp.
    void products(const float* query, double* out) const;
    // For each of n queries, the `probes` lists of highest key (clamped to 1..lists; higher
    // key first, lower list among equals, NaN last) and their products <c_l, q>, into
    // lists[q * probes + i] and products[q * probes + i]. The integer bounds of assign leave
    // out the lists that cannot be among them.
    void probe(const float* queries, size_t n, size_t probes, uint32_t* lists, float* products) const;

    size_t dim() const { return dim_; }
    size_t lists() const { return lists_; }
    bool trained() const { return trained_; }
    const std::vector<float>& centroids() const { return centroids_; }
    const float* centroid(size_t l) const { return centroids_.data() + l * dim_; }

private:
    void rebuild_blocks();
    kernels::CentroidBlocks blocks() const;
    struct ProductScratch;
    // The float32 products of n rows with every centroid whose key could be among each
    // row's `wanted` highest, into scratch.products (rows of the blocks' width; NaN for the
    // others).
    void bounded_products(const float* rows, size_t n, size_t wanted, ProductScratch& scratch) const;
    // assign for rows of one chunk.
    void assign_chunk(const float* rows, size_t n, uint32_t* out, ProductScratch& scratch) const;
    // The highest key of a row's products (width of them), the lowest list among equals;
    // with `blocks`, only among the blocks of 16 lists it marks.
    uint32_t best_of(const float* products, const uint8_t* blocks = nullptr) const;

    size_t dim_, lists_;
    bool nearest_;
    bool trained_ = false;
    std::vector<double> half_norms_;  // |c_l|^2 / 2: f64 squares summed in order, halved
    std::vector<double> key_shift_;   // what a key takes off a product: half_norms_ when nearest, else 0
    std::vector<float> centroids_;  // lists x dim
    std::vector<float> lanes_;  // kernels::CentroidBlocks
    // The centroids as integers (kernels::CentroidIntegerBlocks), c ~ integer_scale_ * C (one
    // scale for all), with |c| and |c - integer_scale_ * C| rounded up, and the largest |c|
    // and |c|^2 / 2 of all.
    std::vector<int16_t> integer_lanes_;
    bool bounded_ = false;  // every centroid finite: the integer bounds hold
    std::vector<double> norm_up_, integer_error_;
    double integer_scale_ = 1.0, largest_norm_ = 0.0, largest_half_norm_ = 0.0;
};

}  // namespace quillane::ivf
