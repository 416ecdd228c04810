#include "ivf_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <limits>
#include <numeric>
#include <stdexcept>

#include "parallel/pool.hpp"

namespace quillane::ivf {

namespace {

constexpr size_t ROWS_PER_CHUNK = 16;

// Queries that visit one list together take the many-query pass from this many on: below
// it, the one-query pass's finer levels leave fewer candidates to score than sharing the
// reading saves (measured at 8 bits, 100,000 x 768, 512 lists: 4 and 8 were slower).
constexpr size_t MANY_QUERIES_FROM = 16;

// Room for `more` elements beyond the size, growing by half at least: an exact reserve
// before every small add would copy the whole vector each time. Returns the bytes of the
// buffer given up.
template <class V> size_t reserve_more(V& v, size_t more) {
    const size_t needed = v.size() + more, before = v.capacity();
    if (needed <= before) return 0;
    v.reserve(std::max(needed, before + before / 2));
    return before * sizeof(typename V::value_type);
}

// Lists grow into new buffers and leave the old ones in the middle of the heap, where they
// stay resident: once an eighth of what the index holds (or 32 MiB) has gone, their pages
// go back to the system.
void release_freed(size_t& freed, size_t held) {
    if (freed < std::min(held / 8, size_t{32} << 20)) return;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    freed = 0;
}

}  // namespace

Result<IvfIndex> IvfIndex::make(size_t dim, size_t lists, uint8_t bits, uint64_t seed, Metric metric) {
    QL_TRY_ASSIGN(CompactQuantizer quantizer, CompactQuantizer::make(dim, bits, seed));
    return IvfIndex(CompactFamily(std::move(quantizer), metric, CompactFamily::Form::listed), lists);
}

IvfIndex::IvfIndex(CompactFamily family, size_t lists)
    : family_(std::move(family)), coarse_(family_.dim(), lists, family_.metric() == Metric::l2), lists_(lists) {
    for (List& list : lists_) list.own(family_.record_size());
}

void IvfIndex::List::own(size_t stride) {
    if (records != nullptr && records == own_records.data()) return;
    std::vector<uint8_t> r(n * stride + CompactFamily::SCAN_SLACK_BYTES, 0);
    if (n > 0) std::memcpy(r.data(), records, n * stride);
    std::vector<uint32_t> o(order, order + n);
    own_records = std::move(r);
    own_order = std::move(o);
    records = own_records.data();
    order = own_order.data();
}

size_t IvfIndex::List::reserve(size_t more, size_t stride) {
    own(stride);
    const size_t freed = reserve_more(own_records, more * stride) + reserve_more(own_order, more);
    records = own_records.data();
    order = own_order.data();
    return freed;
}

void IvfIndex::List::append(const uint8_t* record, size_t stride, uint32_t insertion) {
    const size_t at = n * stride;
    own_records.resize(own_records.size() + stride);  // reserved: cannot fail
    std::memcpy(own_records.data() + at, record, stride);
    std::memset(own_records.data() + at + stride, 0, CompactFamily::SCAN_SLACK_BYTES);
    own_order.push_back(insertion);
    records = own_records.data();
    order = own_order.data();
    ++n;
}

void IvfIndex::adopt(std::vector<float> centroids, std::shared_ptr<const void> image, const uint64_t* starts,
                     const uint32_t* orders, std::span<const uint64_t> ids, const uint8_t* records, bool read_only) {
    if (!centroids.empty()) coarse_.set_centroids(std::move(centroids));
    const size_t stride = family_.record_size();
    for (size_t l = 0; l < lists_.size(); ++l) {
        List& list = lists_[l];
        list.own_records.clear();
        list.own_order.clear();
        list.records = records + starts[l] * stride;
        list.order = orders + starts[l];
        list.n = starts[l + 1] - starts[l];
    }
    ids_.assign(ids.begin(), ids.end());
    image_ = std::move(image);
    read_only_ = read_only;
}

void IvfIndex::train(const float* rows, size_t n, unsigned iterations, unsigned threads,
                     const std::function<void(const TrainingStep&)>& step) {
    if (coarse_.trained()) throw InvariantFailure("train on a trained index");
    coarse_.train(rows, n, iterations, seed(), threads, step, metric() == Metric::cosine);
}

void IvfIndex::set_centroids(std::vector<float> centroids) {
    if (coarse_.trained()) throw InvariantFailure("centroids for a trained index");
    coarse_.set_centroids(std::move(centroids));
}

std::vector<uint64_t> IvfIndex::list_sizes() const {
    std::vector<uint64_t> sizes;
    for (const List& list : lists_) sizes.push_back(list.size());
    return sizes;
}

Status IvfIndex::add(uint64_t id, std::span<const float> vector) {
    if (!coarse_.trained() || id == NO_ID || read_only_) {
        throw InvariantFailure("add to an untrained or read-only index, or of the padding id");
    }
    QL_TRY(check_dimension(dim(), vector.size()));
    // A batch of one row: its checks, assignment, encoding and commit.
    if (auto failure = add_batch(&id, vector.data(), 1, 1)) return std::unexpected(failure->error);
    return {};
}

std::optional<parallel::RowFailure> IvfIndex::add_batch(const uint64_t* ids, const float* rows, size_t n,
                                                        unsigned threads) {
    auto failure = add_rows(ids, rows, n, threads);
    // After the batch's own buffers (its records and the assignment's scratch, about as
    // large) have gone too: they may have come from the heap as well.
    freed_ += 2 * n * family_.record_size();
    release_freed(freed_, size() * (family_.record_size() + sizeof(uint32_t) + sizeof(uint64_t)));
    return failure;
}

std::optional<parallel::RowFailure> IvfIndex::add_rows(const uint64_t* ids, const float* rows, size_t n,
                                                       unsigned threads) {
    if (!coarse_.trained() || read_only_) throw InvariantFailure("add to an untrained or read-only index");
    if (n == 0) return std::nullopt;
    // Insertion numbers are 32 bits: past that many entries, shard the collection.
    if (n > MAX_ENTRIES - size()) throw std::length_error("an inverted-file index holds at most 2^32 - 1 entries");
    const size_t d = dim(), stride = family_.record_size();
    // Rows that are not finite fail as add fails them; the rows below the lowest such row
    // are assigned and encoded, and the lowest failure of either kind is the batch's.
    auto failure = parallel::for_each_row(n, ROWS_PER_CHUNK * 16, threads,
                                          [&](size_t i) { return check_finite({rows + i * d, d}); });
    const size_t clean = failure ? failure->row : n;
    // Under cosine the rows are assigned and coded as unit vectors.
    std::vector<float> unit;
    const float* coded = rows;
    if (metric() == Metric::cosine) {
        unit.resize(clean * d);
        parallel::for_chunks(clean, ROWS_PER_CHUNK, threads, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) family_.in_metric_space(rows + i * d, unit.data() + i * d);
        });
        coded = unit.data();
    }
    std::vector<uint32_t> owner(clean);
    coarse_.assign(coded, clean, threads, owner.data());
    std::vector<uint8_t> records(clean * stride);
    auto encoding = parallel::for_each_row(clean, ROWS_PER_CHUNK, threads, [&](size_t i) -> Status {
        QL_TRY_ASSIGN(const std::vector<uint8_t> record,
                      family_.encode_metric_record({coded + i * d, d}, coarse_.centroid(owner[i])));
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
        if (added[l] > 0) freed_ += lists_[l].reserve(added[l], stride);
    }
    reserve_more(ids_, n);
    if (lookup_) {
        lookup_->ids.prepare(ids, n);
        reserve_more(lookup_->place, n);
    }
    for (size_t i = 0; i < n; ++i) {
        List& list = lists_[owner[i]];
        if (lookup_) {
            lookup_->ids.insert(ids[i], ids_.size());
            lookup_->place.emplace_back(owner[i], static_cast<uint32_t>(list.size()));
        }
        list.append(records.data() + i * stride, stride, static_cast<uint32_t>(ids_.size()));
        ids_.push_back(ids[i]);
    }
    return std::nullopt;
}

const IvfIndex::Lookup& IvfIndex::lookup() const {
    std::lock_guard lock(*lookup_lock_);
    if (!lookup_) {
        auto built = std::make_unique<Lookup>(Lookup{IdMap(ids_.data(), ids_.size()), {}});
        built->place.resize(ids_.size());
        for (size_t l = 0; l < lists_.size(); ++l) {
            for (size_t e = 0; e < lists_[l].size(); ++e) built->place[lists_[l].order[e]] = {static_cast<uint32_t>(l), static_cast<uint32_t>(e)};
        }
        lookup_ = std::move(built);
    }
    return *lookup_;
}

Result<std::vector<float>> IvfIndex::decode(uint64_t insertion) const {
    const auto [l, e] = lookup().place[insertion];
    return family_.decode_record(lists_[l].records + e * family_.record_size(), coarse_.centroid(l));
}

size_t IvfIndex::remove(const uint64_t* gone, size_t count) {
    if (read_only_) throw InvariantFailure("remove from a read-only index");
    const size_t n = size();
    if (n == 0 || count == 0) return 0;
    const IdSet doomed(gone, count);
    // Each surviving entry's new insertion number: its old one less the removed ones below it.
    std::vector<uint64_t> renumbered(n);
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool dead = doomed.contains(ids_[i]);
        renumbered[i] = dead ? IdMap::NONE : kept;
        if (!dead) ids_[kept++] = ids_[i];
    }
    if (kept == n) return 0;
    const size_t stride = family_.record_size();
    for (List& list : lists_) {
        list.own(stride);
        size_t w = 0;
        for (size_t e = 0; e < list.n; ++e) {
            const uint64_t number = renumbered[list.own_order[e]];
            if (number == IdMap::NONE) continue;
            if (w != e) std::memmove(list.own_records.data() + w * stride, list.own_records.data() + e * stride, stride);
            list.own_order[w++] = static_cast<uint32_t>(number);
        }
        list.n = w;
        list.own_records.resize(w * stride + CompactFamily::SCAN_SLACK_BYTES);
        std::memset(list.own_records.data() + w * stride, 0, CompactFamily::SCAN_SLACK_BYTES);
        list.own_order.resize(w);
        if (list.own_records.capacity() > 2 * list.own_records.size()) {
            list.own_records.shrink_to_fit();
            list.own_order.shrink_to_fit();
        }
        list.records = list.own_records.data();
        list.order = list.own_order.data();
    }
    ids_.resize(kept);
    image_.reset();  // every list owns its entries now
    lookup_.reset();
    return n - kept;
}

IvfIndex::Probe IvfIndex::probe(const CompactFamily::Prepared& prepared, const float* query, size_t probes) const {
    return std::move(probe_all({&prepared, 1}, query, probes)[0]);
}

std::vector<IvfIndex::Probe> IvfIndex::probe_all(std::span<const CompactFamily::Prepared> prepared, const float* queries,
                                                 size_t probes) const {
    const size_t p = std::clamp<size_t>(probes, 1, lists_.size()), d = dim(), n = prepared.size();
    // The queries as the centroids see them (under cosine their unit vectors), together, so
    // that each read of the centroids serves several.
    std::vector<float> seen(n * d);
    for (size_t q = 0; q < n; ++q) {
        const float* v = prepared[q].unit.empty() ? queries + q * d : prepared[q].unit.data();
        std::copy_n(v, d, seen.data() + q * d);
    }
    std::vector<uint32_t> lists(n * p);
    std::vector<float> products(n * p);
    coarse_.probe(seen.data(), n, p, lists.data(), products.data());
    std::vector<Probe> out(n);
    for (size_t q = 0; q < n; ++q) {
        out[q].lists.assign(lists.begin() + static_cast<std::ptrdiff_t>(q * p), lists.begin() + static_cast<std::ptrdiff_t>((q + 1) * p));
        out[q].offsets.assign(products.begin() + static_cast<std::ptrdiff_t>(q * p), products.begin() + static_cast<std::ptrdiff_t>((q + 1) * p));
    }
    return out;
}

std::vector<Scored> IvfIndex::padded(std::vector<Scored> best, size_t k) const {
    for (Scored& s : best) {
        s.id = ids_[s.id];  // insertion numbers to ids
        s.score = family_.reported(s.score);
    }
    pad(best, k);
    return best;
}

std::vector<Scored> IvfIndex::rank_listed(const CompactFamily::Prepared& prepared, const Probe& probe,
                                          const AllowSet& allow, size_t k) const {
    std::vector<std::pair<uint32_t, double>> probed;
    for (size_t i = 0; i < probe.lists.size(); ++i) probed.emplace_back(probe.lists[i], probe.offsets[i]);
    std::sort(probed.begin(), probed.end());
    const Lookup& look = lookup();
    std::vector<float> keys;
    std::vector<uint64_t> numbers;
    for (const uint64_t e : allow.list()) {  // ascending: equal keys stay in insertion order
        const auto [l, position] = look.place[e];
        const auto it = std::lower_bound(probed.begin(), probed.end(), std::pair<uint32_t, double>{l, -HUGE_VAL});
        if (it == probed.end() || it->first != l) continue;
        keys.push_back(family_.exact_key(prepared, lists_[l].records + position * family_.record_size(), &it->second));
        numbers.push_back(e);
    }
    return top_k_of(keys.data(), numbers.data(), keys.size(), k);
}

Result<std::vector<Scored>> IvfIndex::search(std::span<const float> query, uint64_t top_k, uint64_t probes,
                                             const AllowSet* allow) const {
    if (size() == 0) return std::vector<Scored>{};
    QL_TRY_ASSIGN(const CompactFamily::Prepared prepared, family_.prepare(query));
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, size()));
    if (k == 0) return std::vector<Scored>{};
    const Probe p = probe(prepared, query.data(), probed_count(probes));
    if (allow != nullptr && allow->listed()) return padded(rank_listed(prepared, p, *allow, k), k);
    CompactFamily::Ranking ranking(k);
    const CompactFamily::Prepared* one[1] = {&prepared};
    CompactFamily::Ranking* rankings[1] = {&ranking};
    // Best lists first: their entries raise the bar that the later lists must reach.
    for (size_t i = 0; i < p.lists.size(); ++i) {
        family_.first_pass(one, rankings, segment(p.lists[i], allow), &p.offsets[i]);
    }
    return padded(family_.finish(prepared, ranking, true), k);
}

std::optional<parallel::RowFailure> IvfIndex::search_batch(const float* queries, size_t nq, uint64_t top_k,
                                                           uint64_t probes, unsigned threads, uint64_t* out_ids,
                                                           float* out_scores, const AllowSet* allow) const {
    if (size() == 0 || nq == 0) return std::nullopt;
    const size_t d = dim(), k = static_cast<size_t>(std::min<uint64_t>(top_k, size()));
    if (k == 0) return std::nullopt;
    const size_t p = probed_count(probes);
    parallel::LowestFailure failure;
    // One block of queries per thread: the more queries a block holds, the more of them
    // share each list's reading.
    const size_t used = parallel::thread_count(threads);
    const size_t block = (nq + used - 1) / used;
    parallel::for_chunks(nq, block, threads, [&](size_t begin, size_t end) {
        std::vector<CompactFamily::Prepared> prepared;
        std::vector<Probe> probed;
        prepared.reserve(end - begin);
        for (size_t q = begin; q < end; ++q) {
            if (failure.beyond(q)) return;
            auto one = family_.prepare({queries + q * d, d});
            if (!one) {
                failure.record(q, one.error());
                return;
            }
            prepared.push_back(std::move(*one));
        }
        if (failure.failed()) return;  // the batch fails: no need to search
        probed = probe_all(prepared, queries + begin * d, p);
        const auto write = [&](size_t q, const std::vector<Scored>& row) {
            for (size_t r = 0; r < k; ++r) {
                out_ids[(begin + q) * k + r] = row[r].id;
                out_scores[(begin + q) * k + r] = row[r].score;
            }
        };
        if (allow != nullptr && allow->listed()) {
            for (size_t q = 0; q < prepared.size(); ++q) write(q, padded(rank_listed(prepared[q], probed[q], *allow, k), k));
            return;
        }
        // Round r visits each query's r-th best list, so every query still meets its best
        // lists first (they raise the bar the later ones must reach); within a round, the
        // queries visiting the same list read it together when there are enough of them
        // for the many-query pass, and one by one (with the finer one-query pass) otherwise.
        std::vector<CompactFamily::Ranking> rankings(prepared.size(), CompactFamily::Ranking(k));
        std::vector<std::vector<uint32_t>> visits(lists_.size());
        std::vector<uint32_t> touched;
        std::vector<const CompactFamily::Prepared*> group;
        std::vector<CompactFamily::Ranking*> group_rankings;
        std::vector<double> offsets;
        for (size_t round = 0; round < p; ++round) {
            touched.clear();
            for (size_t q = 0; q < prepared.size(); ++q) {
                if (round >= probed[q].lists.size()) continue;
                const uint32_t l = probed[q].lists[round];
                if (visits[l].empty()) touched.push_back(l);
                visits[l].push_back(static_cast<uint32_t>(q));
            }
            std::sort(touched.begin(), touched.end());
            for (const uint32_t l : touched) {
                const CompactFamily::Segment scanned = segment(l, allow);
                const std::vector<uint32_t>& here = visits[l];
                const size_t per_pass = here.size() >= MANY_QUERIES_FROM ? CompactFamily::QUERIES_PER_BLOCK : 1;
                for (size_t first = 0; first < here.size(); first += per_pass) {
                    const size_t last = std::min(here.size(), first + per_pass);
                    group.clear();
                    group_rankings.clear();
                    offsets.clear();
                    for (size_t v = first; v < last; ++v) {
                        group.push_back(&prepared[here[v]]);
                        group_rankings.push_back(&rankings[here[v]]);
                        offsets.push_back(probed[here[v]].offsets[round]);
                    }
                    family_.first_pass(group, group_rankings, scanned, offsets.data());
                }
                visits[l].clear();
            }
        }
        for (size_t q = 0; q < prepared.size(); ++q) write(q, padded(family_.finish(prepared[q], rankings[q], true), k));
    });
    return failure.take();
}

}  // namespace quillane::ivf
