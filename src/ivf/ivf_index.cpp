#include "ivf_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "parallel/pool.hpp"

namespace quillane::ivf {

namespace {

constexpr size_t ROWS_PER_CHUNK = 16;

// Higher product first, lower list number among equals, NaN last.
bool probes_before(double a, uint32_t la, double b, uint32_t lb) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    if (a != b) return a > b;
    return la < lb;
}

}  // namespace

Result<IvfIndex> IvfIndex::make(size_t dim, size_t lists, uint8_t bits, uint64_t seed) {
    QL_TRY_ASSIGN(CompactQuantizer quantizer, CompactQuantizer::make(dim, bits, seed));
    return IvfIndex(CompactFamily(std::move(quantizer)), lists);
}

IvfIndex::IvfIndex(CompactFamily family, size_t lists)
    : family_(std::move(family)), coarse_(family_.dim(), lists), lists_(lists) {
    for (List& list : lists_) list.records.resize(CompactFamily::SCAN_SLACK_BYTES);
}

void IvfIndex::train(const float* rows, size_t n, unsigned iterations, unsigned threads,
                     const std::function<void(const TrainingStep&)>& step) {
    if (coarse_.trained()) throw InvariantFailure("train on a trained index");
    coarse_.train(rows, n, iterations, seed(), threads, step);
}

std::vector<uint64_t> IvfIndex::list_sizes() const {
    std::vector<uint64_t> sizes;
    for (const List& list : lists_) sizes.push_back(list.size());
    return sizes;
}

Result<std::vector<uint8_t>> IvfIndex::encode_residual(std::span<const float> vector, uint32_t list) const {
    const float* c = coarse_.centroid(list);
    std::vector<float> residual(vector.size());
    for (size_t j = 0; j < vector.size(); ++j) residual[j] = vector[j] - c[j];
    return family_.encode_record(residual);
}

Status IvfIndex::add(uint64_t id, std::span<const float> vector) {
    if (!coarse_.trained() || id == NO_ID) throw InvariantFailure("add to an untrained index or of the padding id");
    QL_TRY(check_dimension(dim(), vector.size()));
    QL_TRY(check_finite(vector));
    uint32_t list = 0;
    coarse_.assign(vector.data(), 1, 1, &list);
    QL_TRY_ASSIGN(const std::vector<uint8_t> record, encode_residual(vector, list));
    List& target = lists_[list];
    // Room first, so that nothing below can fail half-way.
    target.order.reserve(target.order.size() + 1);
    ids_.reserve(ids_.size() + 1);
    const size_t at = target.records.size() - CompactFamily::SCAN_SLACK_BYTES;
    target.records.resize(target.records.size() + record.size());
    std::memcpy(target.records.data() + at, record.data(), record.size());
    std::memset(target.records.data() + at + record.size(), 0, CompactFamily::SCAN_SLACK_BYTES);
    target.order.push_back(ids_.size());
    ids_.push_back(id);
    return {};
}

std::optional<parallel::RowFailure> IvfIndex::add_batch(const uint64_t* ids, const float* rows, size_t n,
                                                        unsigned threads) {
    if (!coarse_.trained()) throw InvariantFailure("add to an untrained index");
    if (n == 0) return std::nullopt;
    const size_t d = dim(), stride = family_.record_size();
    // Rows that are not finite fail as add fails them; the rows below the lowest such row
    // are assigned and encoded, and the lowest failure of either kind is the batch's.
    auto failure = parallel::for_each_row(n, ROWS_PER_CHUNK * 16, threads,
                                          [&](size_t i) { return check_finite({rows + i * d, d}); });
    const size_t clean = failure ? failure->row : n;
    std::vector<uint32_t> owner(clean);
    coarse_.assign(rows, clean, threads, owner.data());
    std::vector<uint8_t> records(clean * stride);
    auto encoding = parallel::for_each_row(clean, ROWS_PER_CHUNK, threads, [&](size_t i) -> Status {
        QL_TRY_ASSIGN(const std::vector<uint8_t> record, encode_residual({rows + i * d, d}, owner[i]));
        std::memcpy(records.data() + i * stride, record.data(), stride);
        return {};
    });
    if (encoding) return encoding;
    if (failure) return failure;
    for (size_t i = 0; i < n; ++i) {
        if (ids[i] == NO_ID) throw InvariantFailure("add of the padding id");
    }
    // Room for every row first: the commit below cannot fail half-way.
    std::vector<size_t> added(lists_.size(), 0);
    for (size_t i = 0; i < n; ++i) ++added[owner[i]];
    for (size_t l = 0; l < lists_.size(); ++l) {
        if (added[l] == 0) continue;
        lists_[l].order.reserve(lists_[l].order.size() + added[l]);
        lists_[l].records.reserve(lists_[l].records.size() + added[l] * stride);
    }
    ids_.reserve(ids_.size() + n);
    for (size_t i = 0; i < n; ++i) {
        List& target = lists_[owner[i]];
        const size_t at = target.records.size() - CompactFamily::SCAN_SLACK_BYTES;
        target.records.resize(target.records.size() + stride);
        std::memcpy(target.records.data() + at, records.data() + i * stride, stride);
        std::memset(target.records.data() + at + stride, 0, CompactFamily::SCAN_SLACK_BYTES);
        target.order.push_back(ids_.size());
        ids_.push_back(ids[i]);
    }
    return std::nullopt;
}

IvfIndex::Probe IvfIndex::probe(const float* query, size_t probes) const {
    const size_t lists = lists_.size();
    std::vector<double> products(lists);
    coarse_.products(query, products.data());
    std::vector<uint32_t> order(lists);
    std::iota(order.begin(), order.end(), uint32_t{0});
    const size_t p = std::clamp<size_t>(probes, 1, lists);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(p), order.end(),
                      [&](uint32_t a, uint32_t b) { return probes_before(products[a], a, products[b], b); });
    Probe out;
    for (size_t i = 0; i < p; ++i) {
        out.lists.push_back(order[i]);
        out.offsets.push_back(products[order[i]]);
    }
    return out;
}

std::vector<Scored> IvfIndex::merge(std::vector<Scored> found, size_t k) const {
    // Each entry's "id" is its insertion number: in that order, position breaks ties.
    std::sort(found.begin(), found.end(), [](const Scored& a, const Scored& b) { return a.id < b.id; });
    std::vector<float> scores(found.size());
    std::vector<uint64_t> order(found.size());
    for (size_t i = 0; i < found.size(); ++i) {
        scores[i] = found[i].score;
        order[i] = found[i].id;
    }
    std::vector<Scored> best = top_k_of(scores.data(), order.data(), found.size(), k);
    for (Scored& s : best) s.id = ids_[s.id];
    best.resize(k, Scored{NO_ID, std::numeric_limits<float>::quiet_NaN()});
    return best;
}

Result<std::vector<Scored>> IvfIndex::search(std::span<const float> query, uint64_t top_k, uint64_t probes) const {
    if (size() == 0) return std::vector<Scored>{};
    QL_TRY_ASSIGN(const CompactFamily::Prepared prepared, family_.prepare(query));
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, size()));
    const Probe p = probe(query.data(), static_cast<size_t>(std::min<uint64_t>(probes, lists_.size())));
    std::vector<Scored> found;
    const CompactFamily::Prepared* one[1] = {&prepared};
    for (size_t i = 0; i < p.lists.size(); ++i) {
        const List& list = lists_[p.lists[i]];
        if (list.size() == 0) continue;
        auto best = family_.top_k_shifted(one, &p.offsets[i], list.records.data(), list.order.data(), list.size(), k);
        found.insert(found.end(), best[0].begin(), best[0].end());
    }
    return merge(std::move(found), k);
}

std::optional<parallel::RowFailure> IvfIndex::search_batch(const float* queries, size_t nq, uint64_t top_k,
                                                           uint64_t probes, unsigned threads, uint64_t* out_ids,
                                                           float* out_scores) const {
    if (size() == 0 || nq == 0) return std::nullopt;
    const size_t d = dim(), k = static_cast<size_t>(std::min<uint64_t>(top_k, size()));
    const size_t p = static_cast<size_t>(std::min<uint64_t>(probes, lists_.size()));
    std::vector<std::optional<CompactFamily::Prepared>> prepared(nq);
    std::vector<Probe> probed(nq);
    auto failure = parallel::for_each_row(nq, ROWS_PER_CHUNK, threads, [&](size_t q) -> Status {
        QL_TRY_ASSIGN(CompactFamily::Prepared one, family_.prepare({queries + q * d, d}));
        prepared[q] = std::move(one);
        probed[q] = probe(queries + q * d, p);
        return {};
    });
    if (failure) return failure;
    // Each list with the queries that probe it, in query order: its records are read once
    // per block of them.
    struct Visit {
        uint32_t query;
        double offset;
    };
    std::vector<std::vector<Visit>> visits(lists_.size());
    for (size_t q = 0; q < nq; ++q) {
        for (size_t i = 0; i < probed[q].lists.size(); ++i) {
            visits[probed[q].lists[i]].push_back({static_cast<uint32_t>(q), probed[q].offsets[i]});
        }
    }
    std::vector<std::vector<std::vector<Scored>>> per_list(lists_.size());
    parallel::for_chunks(lists_.size(), 1, threads, [&](size_t begin, size_t end) {
        for (size_t l = begin; l < end; ++l) {
            const List& list = lists_[l];
            if (list.size() == 0 || visits[l].empty()) continue;
            for (size_t first = 0; first < visits[l].size(); first += CompactFamily::QUERIES_PER_BLOCK) {
                const size_t last = std::min(visits[l].size(), first + CompactFamily::QUERIES_PER_BLOCK);
                std::vector<const CompactFamily::Prepared*> block;
                std::vector<double> offsets;
                for (size_t v = first; v < last; ++v) {
                    block.push_back(&*prepared[visits[l][v].query]);
                    offsets.push_back(visits[l][v].offset);
                }
                auto best = family_.top_k_shifted(block, offsets.data(), list.records.data(), list.order.data(),
                                                  list.size(), k);
                for (auto& row : best) per_list[l].push_back(std::move(row));
            }
        }
    });
    std::vector<std::vector<Scored>> found(nq);
    for (size_t l = 0; l < lists_.size(); ++l) {
        for (size_t v = 0; v < per_list[l].size(); ++v) {
            auto& into = found[visits[l][v].query];
            into.insert(into.end(), per_list[l][v].begin(), per_list[l][v].end());
        }
    }
    parallel::for_chunks(nq, ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
        for (size_t q = begin; q < end; ++q) {
            const std::vector<Scored> row = merge(std::move(found[q]), k);
            for (size_t r = 0; r < k; ++r) {
                out_ids[q * k + r] = row[r].id;
                out_scores[q * k + r] = row[r].score;
            }
        }
    });
    return std::nullopt;
}

}  // namespace quillane::ivf
