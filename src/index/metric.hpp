// What an index ranks by: the inner product, the cosine (vectors and queries scaled to unit
// length before anything else) or the squared Euclidean distance (the k smallest first).
// All of it in +, -, *, / and sqrt, in the order written here, so that every machine
// gives the same bits (docs/metrics.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillane {

enum class Metric : uint8_t { ip = 0, cosine = 1, l2 = 2 };

const char* metric_name(Metric metric);
std::optional<Metric> metric_named(std::string_view name);

// sum of f64(x_i)^2, in index order from +0.0. Never overflows for float32 input.
double squared_norm(const float* x, size_t n);
// Whether every value is +0.0 or -0.0: then, and only then, the squared norm is zero.
bool all_zero(const float* x, size_t n);
// out_i = f32(f64(x_i) / sqrt(squared_norm(x))); x not all zero.
void unit_into(const float* x, size_t n, float* out);
// The squared distance from an estimated inner product e, the squared norms of the stored
// vector (x2, stored exactly) and of the query (q2): f32((f64(x2) + f64(q2)) - 2 f64(e)).
// It only falls as e rises, so bounds of e bound it.
inline float l2_from_ip(float x2, float q2, double e) {
    return static_cast<float>((static_cast<double>(x2) + static_cast<double>(q2)) - 2.0 * e);
}

}  // namespace quillane
