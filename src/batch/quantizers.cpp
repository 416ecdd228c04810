#include "quantizers.hpp"

#include <cstring>
#include <span>
#include <vector>

namespace quillane::batch {

namespace {

constexpr size_t ROWS_PER_CHUNK = 16;
constexpr size_t QUERIES_PER_CHUNK = 4;

// What the shared loops below need of a quantizer, each through its one-at-a-time calls.
struct TurboRows {
    const TurboQuantizer& q;
    using Code = TurboCode;
    using Prepared = PreparedQuery;

    size_t dim() const { return q.dim(); }
    size_t code_size() const { return q.code_size_bytes(); }
    Result<std::vector<uint8_t>> encode(std::span<const float> x) const {
        return q.encode_to_bytes(x);
    }
    Result<std::vector<float>> decode(std::span<const uint8_t> bytes) const {
        QL_TRY_ASSIGN(const TurboCode code, TurboCode::from_bytes(bytes));
        return q.decode(code);
    }
    // Everything inner_product checks of the code alone.
    Result<TurboCode> read(std::span<const uint8_t> bytes) const {
        QL_TRY_ASSIGN(TurboCode code, TurboCode::from_bytes(bytes));
        QL_TRY(q.check_sign_bytes(code));
        return code;
    }
    Result<PreparedQuery> prepare(std::span<const float> query) const {
        return q.prepare_query(query);
    }
    float score(const TurboCode& code, const PreparedQuery& prepared) const {
        auto s = q.score(code, prepared);
        if (!s) throw InvariantFailure("a code that was read does not score");
        return *s;
    }
    Result<float> inner_product(std::span<const uint8_t> bytes, std::span<const float> query) const {
        QL_TRY_ASSIGN(const TurboCode code, TurboCode::from_bytes(bytes));
        return q.inner_product(code, query);
    }
};

struct CompactRows {
    const CompactQuantizer& q;
    using Code = const uint8_t*;
    using Prepared = CompactPrepared;

    size_t dim() const { return q.dim(); }
    size_t code_size() const { return q.code_size_bytes(); }
    Result<std::vector<uint8_t>> encode(std::span<const float> x) const { return q.encode(x); }
    Result<std::vector<float>> decode(std::span<const uint8_t> bytes) const {
        return q.decode(bytes);
    }
    Result<const uint8_t*> read(std::span<const uint8_t> bytes) const {
        QL_TRY(q.check_code(bytes));
        return bytes.data();
    }
    Result<CompactPrepared> prepare(std::span<const float> query) const {
        return q.prepare_query(query);
    }
    float score(const uint8_t* code, const CompactPrepared& prepared) const {
        return q.score(prepared, code);
    }
    Result<float> inner_product(std::span<const uint8_t> bytes, std::span<const float> query) const {
        return q.inner_product(bytes, query);
    }
};

template <class Rows>
std::optional<RowFailure> encode_rows(const Rows& rows, const float* vectors, size_t n,
                                      uint8_t* codes, unsigned threads) {
    const size_t dim = rows.dim(), size = rows.code_size();
    return parallel::for_each_row(n, ROWS_PER_CHUNK, threads, [&](size_t i) -> Status {
        QL_TRY_ASSIGN(const std::vector<uint8_t> code, rows.encode({vectors + i * dim, dim}));
        if (code.size() != size) throw InvariantFailure("a code's length differs from code_size_bytes");
        std::memcpy(codes + i * size, code.data(), size);
        return {};
    });
}

template <class Rows>
std::optional<RowFailure> decode_rows(const Rows& rows, const uint8_t* codes, size_t n,
                                      float* vectors, unsigned threads) {
    const size_t dim = rows.dim(), size = rows.code_size();
    return parallel::for_each_row(n, ROWS_PER_CHUNK, threads, [&](size_t i) -> Status {
        QL_TRY_ASSIGN(const std::vector<float> v, rows.decode({codes + i * size, size}));
        if (v.size() != dim) throw InvariantFailure("a decoding's length differs from dim");
        std::memcpy(vectors + i * dim, v.data(), dim * sizeof(float));
        return {};
    });
}

// Every query prepared once and every code read once; each score is the prepared
// score, which is inner_product's. A pair fails exactly when its code or its query
// fails on its own, so the first failing pair in row-major order is row 0 against the
// first failing query, or else the first failing code row against query 0; the error
// is the one inner_product gives for that pair.
template <class Rows>
std::optional<PairFailure> inner_product_rows(const Rows& rows, const uint8_t* codes, size_t n,
                                              const float* queries, size_t nq, float* scores,
                                              unsigned threads) {
    if (n == 0 || nq == 0) return std::nullopt;
    const size_t dim = rows.dim(), size = rows.code_size();
    std::vector<std::optional<typename Rows::Prepared>> prepared(nq);
    const auto bad_query =
        parallel::for_each_row(nq, QUERIES_PER_CHUNK, threads, [&](size_t j) -> Status {
            QL_TRY_ASSIGN(auto p, rows.prepare({queries + j * dim, dim}));
            prepared[j].emplace(std::move(p));
            return {};
        });
    const auto bad_code = parallel::for_each_row(n, ROWS_PER_CHUNK, threads, [&](size_t i) -> Status {
        QL_TRY_ASSIGN(const auto code, rows.read({codes + i * size, size}));
        if (bad_query) return {};  // the batch fails; only the codes' own failures matter
        for (size_t j = 0; j < nq; ++j) scores[i * nq + j] = rows.score(code, *prepared[j]);
        return {};
    });
    if (!bad_query && !bad_code) return std::nullopt;
    size_t row = 0, query = 0;
    if (bad_query) {
        query = bad_code && bad_code->row == 0 ? 0 : bad_query->row;
    } else {
        row = bad_code->row;
    }
    auto alone = rows.inner_product({codes + row * size, size}, {queries + query * dim, dim});
    if (alone) throw InvariantFailure("a failing pair of a batch succeeds on its own");
    return PairFailure{row, query, alone.error()};
}

}  // namespace

std::optional<RowFailure> encode(const TurboQuantizer& q, const float* vectors, size_t n,
                                 uint8_t* codes, unsigned threads) {
    return encode_rows(TurboRows{q}, vectors, n, codes, threads);
}
std::optional<RowFailure> decode(const TurboQuantizer& q, const uint8_t* codes, size_t n,
                                 float* vectors, unsigned threads) {
    return decode_rows(TurboRows{q}, codes, n, vectors, threads);
}
std::optional<PairFailure> inner_product(const TurboQuantizer& q, const uint8_t* codes, size_t n,
                                         const float* queries, size_t nq, float* scores,
                                         unsigned threads) {
    return inner_product_rows(TurboRows{q}, codes, n, queries, nq, scores, threads);
}

std::optional<RowFailure> encode(const CompactQuantizer& q, const float* vectors, size_t n,
                                 uint8_t* codes, unsigned threads) {
    return encode_rows(CompactRows{q}, vectors, n, codes, threads);
}
std::optional<RowFailure> decode(const CompactQuantizer& q, const uint8_t* codes, size_t n,
                                 float* vectors, unsigned threads) {
    return decode_rows(CompactRows{q}, codes, n, vectors, threads);
}
std::optional<PairFailure> inner_product(const CompactQuantizer& q, const uint8_t* codes,
                                         size_t n, const float* queries, size_t nq,
                                         float* scores, unsigned threads) {
    return inner_product_rows(CompactRows{q}, codes, n, queries, nq, scores, threads);
}

}  // namespace quillane::batch
