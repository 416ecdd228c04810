#include "metric.hpp"

#include <cmath>

namespace quillane {

const char* metric_name(Metric metric) {
    switch (metric) {
        case Metric::ip: return "ip";
        case Metric::cosine: return "cosine";
        case Metric::l2: return "l2";
    }
    return "ip";
}

std::optional<Metric> metric_named(std::string_view name) {
    for (Metric m : {Metric::ip, Metric::cosine, Metric::l2}) {
        if (name == metric_name(m)) return m;
    }
    return std::nullopt;
}

double squared_norm(const float* x, size_t n) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * static_cast<double>(x[i]);
    return sum;
}

bool all_zero(const float* x, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != 0.0f) return false;
    }
    return true;
}

void unit_into(const float* x, size_t n, float* out) {
    const double norm = std::sqrt(squared_norm(x, n));
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(static_cast<double>(x[i]) / norm);
}

}  // namespace quillane
