// Writes tests/data/golden-core.json: exact outputs of this build for fixed inputs,
// in the schema of reference-vectors.json's "quantizer" entries; with --compact,
// tests/data/golden-compact.json, the same for compact quantizers. Regenerate only when
// a change is meant to alter outputs (none should).
//
// Build with -DQUILLANE_BUILD_TESTS=ON, run: build/cpp/gen_golden > tests/data/golden-core.json
//                                        build/cpp/gen_golden --compact > tests/data/golden-compact.json
#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "compact/quantizer.hpp"
#include "turbo.hpp"

using namespace quillane;

static std::string hex_bytes(const std::vector<uint8_t>& b) {
    std::string s;
    char buf[3];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof buf, "%02x", v);
        s += buf;
    }
    return s;
}

static std::string hex_floats_le(const std::vector<float>& v) {
    std::vector<uint8_t> b;
    for (float f : v) {
        const uint32_t w = std::bit_cast<uint32_t>(f);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    }
    return hex_bytes(b);
}

static std::string hex_f32(float f) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", std::bit_cast<uint32_t>(f));
    return buf;
}

// Inputs built from small integers only, so they are the same bits everywhere.
static std::vector<float> fixed_vector(size_t dim, int salt) {
    std::vector<float> v(dim);
    for (size_t i = 0; i < dim; ++i) {
        v[i] = static_cast<float>(static_cast<int>((i * 37 + salt * 11) % 23) - 11) / 8.0f;
    }
    return v;
}

static void print_decoded_and_score(const std::vector<float>& decoded, float score, bool last) {
    std::printf(",\n     \"decoded\": [");
    for (size_t i = 0; i < decoded.size(); ++i)
        std::printf("%s\"%s\"", i ? ", " : "", hex_f32(decoded[i]).c_str());
    std::printf("],\n     \"inner_product_with_queries\": [\"%s\"]}%s\n", hex_f32(score).c_str(),
                last ? "" : ",");
}

static int print_compact() {
    struct Config { uint64_t dim; uint8_t bits; uint64_t seed; };
    const Config configs[] = {{8, 4, 42}, {7, 3, 1}, {100, 1, 5}, {256, 8, 42}, {1000, 2, 9}};
    const size_t count = sizeof configs / sizeof configs[0];
    std::printf("{\n \"about\": \"Exact outputs of compact quantizers for fixed inputs: the same "
                "bits on every IEEE-754 machine and build.\",\n \"compact\": [\n");
    for (size_t c = 0; c < count; ++c) {
        const auto& cfg = configs[c];
        auto q = CompactQuantizer::make(cfg.dim, cfg.bits, cfg.seed);
        const auto query = fixed_vector(cfg.dim, 100);
        std::printf("  {\"dim\": %llu, \"bits\": %u, \"seed\": \"%llu\", \"code_size_bytes\": %llu,\n"
                    "   \"queries\": [\"%s\"],\n   \"vectors\": [\n",
                    (unsigned long long)cfg.dim, unsigned(cfg.bits), (unsigned long long)cfg.seed,
                    (unsigned long long)q->code_size_bytes(), hex_floats_le(query).c_str());
        const std::vector<std::vector<float>> inputs = {fixed_vector(cfg.dim, 1),
                                                        fixed_vector(cfg.dim, 2),
                                                        std::vector<float>(cfg.dim, 0.0f)};
        for (size_t k = 0; k < inputs.size(); ++k) {
            const auto code = *q->encode(inputs[k]);
            std::printf("    {\"vector\": \"%s\",\n     \"code\": \"%s\"",
                        hex_floats_le(inputs[k]).c_str(), hex_bytes(code).c_str());
            print_decoded_and_score(*q->decode(code), *q->inner_product(code, query),
                                    k + 1 == inputs.size());
        }
        std::printf("   ]}%s\n", c + 1 < count ? "," : "");
    }
    std::printf(" ]\n}\n");
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--compact") return print_compact();
    struct Config { uint64_t dim; uint8_t bits; uint64_t m; uint64_t seed; };
    const Config configs[] = {{8, 4, 2, 42}, {16, 1, 4, 0}, {64, 8, 16, 7}, {128, 4, 32, 42}};
    std::printf("{\n \"about\": \"Exact outputs of this implementation for fixed inputs; "
                "regression guard for every optimisation. Same schema as the reference "
                "file's quantizer entries.\",\n \"quantizer\": [\n");
    for (size_t c = 0; c < 4; ++c) {
        const auto& cfg = configs[c];
        auto q = TurboQuantizer::make(cfg.dim, cfg.bits, cfg.m, cfg.seed);
        const auto query = fixed_vector(cfg.dim, 100);
        std::printf("  {\"dim\": %llu, \"bits\": %u, \"projections\": %llu, \"seed\": \"%llu\", "
                    "\"code_size_bytes\": %llu,\n   \"queries\": [\"%s\"],\n   \"vectors\": [\n",
                    (unsigned long long)cfg.dim, unsigned(cfg.bits), (unsigned long long)cfg.m,
                    (unsigned long long)cfg.seed, (unsigned long long)q->code_size_bytes(),
                    hex_floats_le(query).c_str());
        const std::vector<std::vector<float>> inputs = {fixed_vector(cfg.dim, 1),
                                                        fixed_vector(cfg.dim, 2),
                                                        std::vector<float>(cfg.dim, 0.0f)};
        for (size_t k = 0; k < inputs.size(); ++k) {
            auto code = q->encode(inputs[k]);
            const auto decoded = q->decode(*code);
            std::printf("    {\"vector\": \"%s\",\n     \"code\": \"%s\",\n     \"decoded\": [",
                        hex_floats_le(inputs[k]).c_str(), hex_bytes(code->to_bytes()).c_str());
            for (size_t i = 0; i < decoded.size(); ++i)
                std::printf("%s\"%s\"", i ? ", " : "", hex_f32(decoded[i]).c_str());
            std::printf("],\n     \"inner_product_with_queries\": [\"%s\"]}%s\n",
                        hex_f32(*q->inner_product(*code, query)).c_str(),
                        k + 1 < inputs.size() ? "," : "");
        }
        std::printf("   ]}%s\n", c + 1 < 4 ? "," : "");
    }
    std::printf(" ]\n}\n");
}
