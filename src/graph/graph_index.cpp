#include "graph_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "graph/beam.hpp"
#include "graph/removal.hpp"
#include "index/id_map.hpp"
#include "kernels/dispatch.hpp"
#include "parallel/pool.hpp"

namespace quillane::graph {

Result<GraphIndex> GraphIndex::make(uint64_t dim, uint32_t degree, uint8_t bits, uint64_t seed, Metric metric) {
    QL_TRY_ASSIGN(CompactQuantizer quantizer, CompactQuantizer::make(dim, bits, seed));
    return GraphIndex(CompactFamily(std::move(quantizer), metric), degree);
}

BuildVectors GraphIndex::decoded_vectors(size_t stored, const std::vector<uint8_t>* only, size_t vertices,
                                         unsigned threads, std::vector<float>& decoded) const {
    const size_t d = dim();
    // Each decoded entry's place in `decoded`: its number, or its rank among those marked.
    std::vector<size_t> slot;
    size_t slots = stored;
    if (only != nullptr) {
        slot.assign(stored, 0);
        slots = 0;
        for (size_t e = 0; e < stored; ++e) {
            if ((*only)[e]) slot[e] = slots++;
        }
    }
    const auto wanted = [&](size_t e) { return only == nullptr || (*only)[e] != 0; };
    const auto place = [&](size_t e) { return (only == nullptr ? e : slot[e]) * d; };
    BuildVectors vectors;
    vectors.dim = d;
    vectors.metric = metric();
    vectors.sums = kernels::active().eight_lane_sums;
    vectors.sums_of_four = kernels::active().eight_lane_sums_of_four;
    vectors.values.assign(vertices, nullptr);
    vectors.scales.assign(vertices, 1.0);
    decoded.assign(slots * d, 0.0f);
    parallel::for_chunks(stored, 256, threads, [&](size_t begin, size_t end) {
        for (size_t e = begin; e < end; ++e) {
            if (!wanted(e)) continue;
            // A record that does not decode (an unverified, damaged file's) is measured as
            // the zero vector: it links as well as anything, and nothing fails.
            auto values = flat_.decode(e);
            if (values) std::copy(values->begin(), values->end(), decoded.begin() + static_cast<std::ptrdiff_t>(place(e)));
        }
    });
    for (size_t e = 0; e < stored; ++e) {
        if (wanted(e)) set_vector(vectors, e, decoded.data() + place(e));
    }
    return vectors;
}

void GraphIndex::set_vector(BuildVectors& vectors, size_t e, const float* values) {
    vectors.values[e] = values;
    if (vectors.metric == Metric::cosine) {
        const double norm = std::sqrt(squared_norm(values, vectors.dim));
        vectors.scales[e] = norm > 0.0 ? 1.0 / norm : 0.0;
    }
}

BuildVectors GraphIndex::build_vectors(const float* rows, size_t n, unsigned threads,
                                       std::vector<float>& decoded) const {
    const size_t old = size() - n;
    BuildVectors vectors = decoded_vectors(old, nullptr, old + n, threads, decoded);
    for (size_t i = 0; i < n; ++i) set_vector(vectors, old + i, rows + i * dim());
    return vectors;
}

size_t GraphIndex::remove(const uint64_t* gone, size_t count, unsigned threads) {
    if (read_only()) throw InvariantFailure("remove from a read-only index");
    const size_t n = size();
    if (n == 0 || count == 0) return 0;
    std::vector<uint8_t> removed(n, 0);
    size_t dropped = 0;
    {
        const IdSet doomed(gone, count);
        for (size_t e = 0; e < n; ++e) {
            removed[e] = doomed.contains(flat_.id(e)) ? 1 : 0;
            dropped += removed[e];
        }
    }
    if (dropped == 0) return 0;
    // Everything that may fail is computed first; then the index changes, which cannot.
    const std::vector<uint32_t> losing = losing_neighbours(graph_, removed);
    std::vector<float> decoded;
    const std::vector<uint8_t> measured = measured_in_relinking(graph_, removed, losing);
    const BuildVectors vectors = decoded_vectors(n, &measured, n, threads, decoded);
    const std::vector<std::vector<uint32_t>> lists = relinked(graph_, vectors, removed, losing, degree(), threads);
    std::vector<uint32_t> number(n, Adjacency::NONE);
    uint32_t kept = 0;
    for (size_t v = 0; v < n; ++v) {
        if (!removed[v]) number[v] = kept++;
    }
    // A removed first entry hands over to its first neighbour left (near the centre, as it
    // was), or else to the first vertex left.
    uint32_t entry = entry_;
    if (kept > 0 && removed[entry]) {
        entry = Adjacency::NONE;
        for (size_t i = 0; i < graph_.count(entry_) && entry == Adjacency::NONE; ++i) {
            if (!removed[graph_.row(entry_)[i]]) entry = graph_.row(entry_)[i];
        }
        for (size_t v = 0; v < n && entry == Adjacency::NONE; ++v) {
            if (!removed[v]) entry = static_cast<uint32_t>(v);
        }
    }
    std::vector<uint32_t> row;
    row.reserve(degree());
    ReachScratch scratch;
    scratch.reserve(kept, degree());
    flat_.remove(gone, count);  // the same entries go, the others keep their order
    for (size_t i = 0; i < losing.size(); ++i) graph_.set(losing[i], lists[i]);
    // Down in vertex order: each block moves to its new number, at or below its old one.
    for (size_t v = 0; v < n; ++v) {
        if (removed[v]) continue;
        row.clear();
        for (size_t i = 0, count = graph_.count(v); i < count; ++i) row.push_back(number[graph_.row(v)[i]]);
        graph_.set(number[v], row);
    }
    graph_.truncate(kept);
    entry_ = kept > 0 ? number[entry] : 0;
    if (kept > 0) {
        give_orphans_an_edge(graph_, entry_, scratch.incoming);
        // Components cut off from the entry (a group whose edges in all came from removed
        // vertices) are taken back in.
        reach_every_vertex(graph_, entry_, scratch);
    }
#if defined(__GLIBC__)
    if (dropped >= TRIM_AFTER_ROWS) malloc_trim(0);
#endif
    return dropped;
}

size_t GraphIndex::central_row(const BuildVectors& vectors, size_t first, size_t n) const {
    const size_t d = dim();
    std::vector<double> mean(d, 0.0);
    for (size_t i = 0; i < n; ++i) {
        const float* x = vectors.values[first + i];
        const double s = vectors.scales[first + i];
        for (size_t j = 0; j < d; ++j) mean[j] += static_cast<double>(x[j]) * s;
    }
    for (double& m : mean) m /= static_cast<double>(n);
    size_t best = 0;
    double nearest = HUGE_VAL;
    for (size_t i = 0; i < n; ++i) {
        const float* x = vectors.values[first + i];
        const double s = vectors.scales[first + i];
        double distance = 0.0;
        for (size_t j = 0; j < d; ++j) {
            const double diff = static_cast<double>(x[j]) * s - mean[j];
            distance += diff * diff;
        }
        if (distance < nearest) nearest = distance, best = i;
    }
    return best;
}

std::optional<parallel::RowFailure> GraphIndex::add_batch(const uint64_t* ids, const float* rows, size_t n,
                                                          unsigned threads, const Progress& progress) {
    if (read_only()) throw InvariantFailure("add to a read-only index");
    if (n == 0) return std::nullopt;
    const size_t old = size();
    if (n > MAX_ENTRIES - old) throw std::bad_alloc();  // the binding refuses such a batch first
    graph_.reserve(old + n);
    if (auto failure = flat_.add_batch(ids, rows, n, threads)) return failure;
    try {
        graph_.grow(old + n);
        std::vector<float> decoded;
        const BuildVectors vectors = build_vectors(rows, n, threads, decoded);
        std::vector<uint32_t> order;
        order.reserve(n);
        uint32_t entry = entry_;
        if (old == 0) {
            // The first entry is the most central row: inserted first, it starts every walk.
            entry = static_cast<uint32_t>(central_row(vectors, 0, n));
            order.push_back(entry);
        }
        for (size_t i = 0; i < n; ++i) {
            if (old + i != entry || old > 0) order.push_back(static_cast<uint32_t>(old + i));
        }
        const BuildOptions options{degree(), BUILD_WIDTH, threads};
        link(graph_, vectors, order, old, entry, options, *pool_, [&](size_t done) {
            if (progress) progress(done, n);
        });
        entry_ = entry;
    } catch (...) {
        flat_.truncate(old);
        graph_.truncate(old);
        throw;
    }
#if defined(__GLIBC__)
    // The rounds' many small lists were freed into the threads' heaps, where their pages
    // would stay resident: after a large batch they go back to the system.
    if (n >= TRIM_AFTER_ROWS) malloc_trim(0);
#endif
    return std::nullopt;
}

std::vector<Scored> GraphIndex::walk(const CompactFamily::Prepared& prepared, size_t k, size_t width,
                                     const AllowSet* allow, size_t allowed_width) const {
    const CompactFamily& family = flat_.family();
    const uint8_t* records = flat_.record_bytes().data();
    const size_t stride = family.record_size();
    std::vector<int32_t> sums(degree());
    // With a filter: the best allowed vertices met, by the walk's keys, in rank order.
    using Rank = Ranks<float>::Rank;
    std::vector<Rank> allowed;
    if (allow != nullptr) allowed.reserve(allowed_width + 1);
    auto visited = pool_->take();
    std::vector<uint32_t> met = beam_search<float>(
        graph_, size(), entry_, width, *visited,
        [&](const uint32_t* vertices, size_t n, float* keys) {
            family.approximate_keys(prepared, records, vertices, n, sums.data(), keys);
            if (allow == nullptr) return;
            for (size_t i = 0; i < n; ++i) {
                if (allow->allows(vertices[i])) offer(allowed, Ranks<float>::of(keys[i], vertices[i]), allowed_width);
            }
        },
        [&](uint32_t v) { __builtin_prefetch(records + size_t{v} * stride); });
    if (allow != nullptr) {
        met.resize(allowed.size());
        for (size_t i = 0; i < allowed.size(); ++i) met[i] = Ranks<float>::vertex(allowed[i]);
    }
    // In order of entry number, so that equal scores rank in insertion order.
    std::sort(met.begin(), met.end());
    std::vector<float> keys(met.size());
    std::vector<uint64_t> vertices(met.size());
    std::vector<const uint8_t*> kept(met.size());
    for (size_t i = 0; i < met.size(); ++i) {
        vertices[i] = met[i];
        kept[i] = records + size_t{met[i]} * stride;
    }
    family.exact_keys(prepared, kept.data(), nullptr, kept.size(), keys.data());
    std::vector<Scored> row = top_k_of(keys.data(), vertices.data(), met.size(), k);
    for (Scored& s : row) s = {flat_.id(s.id), family.reported(s.score)};
    pad(row, k);
    return row;
}

Result<std::vector<Scored>> GraphIndex::search(std::span<const float> query, uint64_t top_k, uint64_t ef,
                                               const AllowSet* allow) const {
    if (size() == 0) return std::vector<Scored>{};
    if (allow != nullptr && allow->listed()) return flat_.search_allowed(query, top_k, *allow);
    QL_TRY_ASSIGN(const CompactFamily::Prepared prepared, flat_.family().prepare(query));
    const size_t n = size();
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
    if (k == 0) return std::vector<Scored>{};
    const size_t width = static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(ef, n), k));
    if (allow == nullptr) return walk(prepared, k, width, nullptr, 0);
    // A beam that holds about `width` allowed vertices: wider by the inverse of their share.
    const size_t allowed = std::max<size_t>(allow->count(), 1);
    const size_t widened = allowed >= n ? width : std::min(n, (width * n + allowed - 1) / allowed);
    return walk(prepared, k, widened, allow, width);
}

std::optional<parallel::RowFailure> GraphIndex::search_batch(const float* queries, size_t nq, uint64_t top_k,
                                                             uint64_t ef, unsigned threads, uint64_t* out_ids,
                                                             float* out_scores, const AllowSet* allow) const {
    if (size() == 0 || nq == 0) return std::nullopt;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, size()));
    if (k == 0) return std::nullopt;
    const size_t d = dim();
    return parallel::for_each_row(nq, 8, threads, [&](size_t q) -> Status {
        auto row = search({queries + q * d, d}, top_k, ef, allow);
        if (!row) return std::unexpected(row.error());
        for (size_t r = 0; r < k; ++r) {
            out_ids[q * k + r] = (*row)[r].id;
            out_scores[q * k + r] = (*row)[r].score;
        }
        return {};
    });
}

}  // namespace quillane::graph
