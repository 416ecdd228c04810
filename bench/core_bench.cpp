// Reference-path costs of the core: construction, encode, decode, inner product.
#include <chrono>
#include <string>
#include <cstdio>
#include <vector>

#include "codebook.hpp"
#include "linalg/blocked.hpp"
#include "linalg/householder.hpp"
#include "rng.hpp"
#include "rotation.hpp"
#include "turbo.hpp"

using namespace quillane;
using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    std::printf("construction (bits 4, m = dim/4), seconds:\n");
    std::printf("  dim   total   draw  QR+Q blocked  LU blocked | QR+Q plain  LU plain  speed-up\n");
    for (size_t dim : {128, 768, 1536}) {
        if (quick && dim > 768) continue;
        auto t0 = Clock::now();
        SeededRng rng(42);
        auto z = rng.standard_normal_vec(dim * dim);
        const double draw = seconds_since(t0);
        std::vector<float> g(dim * dim);
        for (size_t i = 0; i < dim; ++i)
            for (size_t j = 0; j < dim; ++j) g[j * dim + i] = z[i * dim + j];
        t0 = Clock::now();
        auto qmat = linalg::householder_q_blocked(g, dim);
        const double qr = seconds_since(t0);
        t0 = Clock::now();
        volatile float det = linalg::lu_determinant_blocked(qmat, dim);
        const double lu = seconds_since(t0);
        t0 = Clock::now();
        auto plain = linalg::householder_q(g, dim);
        const double qr_plain = seconds_since(t0);
        t0 = Clock::now();
        det = linalg::determinant(plain, dim);
        const double lu_plain = seconds_since(t0);
        (void)det;
        t0 = Clock::now();
        auto q = TurboQuantizer::make(dim, 4, dim / 4, 42);
        const double total = seconds_since(t0);
        std::printf("  %4zu %7.3f %6.3f %13.3f %11.3f | %10.3f %9.3f %8.1fx\n", dim, total, draw,
                    qr, lu, qr_plain, lu_plain, (qr_plain + lu_plain) / (qr + lu));
    }
    {
        // Vector paths beside the plain loops, in one run.
        const size_t dim = 768;
        auto q = TurboQuantizer::make(dim, 4, dim / 4, 42);
        SeededRng rng(7);
        const int n = 300;
        std::vector<std::vector<float>> xs;
        for (int i = 0; i < n; ++i) xs.push_back(rng.standard_normal_vec(dim));
        std::vector<TurboCode> codes;
        float sink = 0;
        auto per_call = [&](auto&& body) {
            auto t0 = Clock::now();
            for (int i = 0; i < n; ++i) body(i);
            return seconds_since(t0) / n * 1e6;
        };
        for (auto& x : xs) codes.push_back(*q->encode(x));
        const double enc = per_call([&](int i) { sink += q->encode(xs[i])->qjl.norm; });
        const double enc_ref = per_call([&](int i) { sink += q->encode_reference(xs[i])->qjl.norm; });
        const double dec = per_call([&](int i) { sink += q->decode(codes[i])[0]; });
        const double dec_ref = per_call([&](int i) { sink += q->decode_reference(codes[i])[0]; });
        const double ip = per_call([&](int i) { sink += *q->inner_product(codes[i], xs[n - 1 - i]); });
        const double ip_ref =
            per_call([&](int i) { sink += *q->inner_product_reference(codes[i], xs[n - 1 - i]); });
        std::printf("dim 768 per call (us)   vector   reference   speed-up\n");
        std::printf("  encode              %8.1f %11.1f %9.1fx\n", enc, enc_ref, enc_ref / enc);
        std::printf("  decode              %8.1f %11.1f %9.1fx\n", dec, dec_ref, dec_ref / dec);
        std::printf("  inner_product       %8.1f %11.1f %9.1fx\n", ip, ip_ref, ip_ref / ip);
        std::printf("  (matrix bytes streamed per encode: %.2f MB; sink %g)\n",
                    (dim * dim + dim * dim / 4) * 4 / 1e6, double(sink != sink));
    }
    {
        auto t0 = Clock::now();
        auto cb = Codebook::make(16);
        std::printf("codebook build at 16 bits: %.1f ms (%zu levels)\n", seconds_since(t0) * 1e3,
                    cb->levels().size());
    }
}
