#include "ivf_file.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "format/bytes.hpp"

namespace quillane::io {

namespace {

constexpr uint64_t MAX_LISTS = 0xFFFFFFFFu;

IndexHeader header_of(const ivf::IvfIndex& index) {
    IndexHeader h;
    h.family = IVF_FILE_TAG;
    h.parameters = {index.dim(), index.bits(), index.coarse().lists(), index.seed(), static_cast<uint8_t>(index.metric())};
    h.record_size = static_cast<uint32_t>(index.family().record_size());
    h.count = index.size();
    h.summary[0] = index.coarse().trained() ? 1 : 0;
    return h;
}

template <class T> std::span<const uint8_t> bytes_of(std::span<const T> v) {
    return {reinterpret_cast<const uint8_t*>(v.data()), v.size_bytes()};
}

// The file's sections in order: centroids, starts, insertion numbers, ids, records.
struct Pieces {
    std::vector<uint64_t> starts;
    std::vector<Section> sections;
};

Pieces pieces_of(const ivf::IvfIndex& index) {
    Pieces p;
    const size_t lists = index.coarse().lists();
    p.starts.push_back(0);
    for (size_t l = 0; l < lists; ++l) p.starts.push_back(p.starts.back() + index.list_order(l).size());
    Section centroids, starts, orders, ids, records;
    if (index.coarse().trained()) centroids.push_back(bytes_of(std::span<const float>(index.coarse().centroids())));
    starts.push_back(bytes_of(std::span<const uint64_t>(p.starts)));
    for (size_t l = 0; l < lists; ++l) {
        orders.push_back(bytes_of(index.list_order(l)));
        records.push_back(index.list_records(l));
    }
    ids.push_back(bytes_of(index.ids()));
    p.sections = {centroids, starts, orders, ids, records};
    return p;
}

// The compact quantizer of a header's residual codes (its projections field holds lists).
FamilyParameters family_of(const IndexHeader& h) {
    const FamilyParameters& p = h.parameters;
    return {p.dim, p.bits, 0, p.seed, p.metric};
}

// Files written before the lists left out each code's constant front hold whole records,
// and 8-byte insertion numbers where list records have 4.
bool holds_whole_records(const IndexHeader& h) { return h.record_size == CompactFamily::record_size_of(family_of(h)); }
uint64_t order_width(const IndexHeader& h) { return holds_whole_records(h) ? 8 : 4; }

// Where each section of a checked header lies.
SectionLayout layout_of(const IndexHeader& h) {
    const uint64_t lists = h.parameters.projections, dim = h.parameters.dim;
    const uint64_t sizes[5] = {h.summary[0] ? lists * dim * 4 : 0, (lists + 1) * 8, h.count * order_width(h), h.count * 8,
                               h.count * h.record_size};
    return layout_of_sections(sizes);
}

FileResult<SectionLayout> check_ivf(std::span<const uint8_t> image, const IndexHeader& h, bool verify) {
    const FamilyParameters& p = h.parameters;
    const uint64_t lists = p.projections;
    if (auto ok = CompactFamily::check_parameters(family_of(h)); !ok) {
        return std::unexpected(malformed("its quantizer's integers are refused: " + ok.error().message()));
    }
    if (lists == 0 || lists > MAX_LISTS) {
        return std::unexpected(malformed("its list count " + std::to_string(lists) + " is not between 1 and 4294967295"));
    }
    const uint64_t record_size = CompactFamily::record_size_of(family_of(h), CompactFamily::Form::listed);
    if (h.record_size != record_size && !holds_whole_records(h)) {
        return std::unexpected(malformed("record size " + std::to_string(h.record_size) +
                                         " does not match its quantizer's " + std::to_string(record_size)));
    }
    if (h.summary[0] > 1 || h.summary[1] != 0 || (h.summary[0] == 0 && h.count != 0)) {
        return std::unexpected(malformed("its training words are not those of an inverted-file index"));
    }
    if (h.count > ivf::IvfIndex::MAX_ENTRIES) {
        return std::unexpected(malformed("its count " + std::to_string(h.count) + " is above 4294967295 entries"));
    }
    // Counts against the file's size before any product of them.
    const uint64_t room = image.size() - HEADER_SIZE;
    if (h.count > room / (h.record_size + 8 + order_width(h)) || lists > room / (8 + (h.summary[0] ? 4 * p.dim : 0))) {
        return std::unexpected(malformed("truncated or damaged: " + std::to_string(h.count) + " records and " +
                                         std::to_string(lists) + " lists do not fit in " +
                                         std::to_string(image.size()) + " bytes"));
    }
    const SectionLayout l = layout_of(h);
    if (auto ok = check_section_padding(image, l); !ok) return std::unexpected(ok.error());
    if (verify && bytes::read_u32(image, 56) != crc32_of(image.subspan(HEADER_SIZE))) {
        return std::unexpected(malformed("body checksum mismatch: the centroids, lists, ids or records are damaged"));
    }
    // The lists' structure, always: a search relies on it.
    const auto* starts = reinterpret_cast<const uint64_t*>(image.data() + l.offset[1]);
    const bool wide = order_width(h) == 8;
    const auto order = [&](uint64_t i) -> uint64_t {
        return wide ? reinterpret_cast<const uint64_t*>(image.data() + l.offset[2])[i]
                    : reinterpret_cast<const uint32_t*>(image.data() + l.offset[2])[i];
    };
    if (starts[0] != 0 || starts[lists] != h.count) {
        return std::unexpected(malformed("its lists do not cover its records"));
    }
    std::vector<bool> seen(h.count, false);
    for (uint64_t list = 0; list < lists; ++list) {
        if (starts[list + 1] < starts[list] || starts[list + 1] > h.count) {
            return std::unexpected(malformed("list " + std::to_string(list) + " ends before it starts or after the last record"));
        }
        for (uint64_t i = starts[list]; i < starts[list + 1]; ++i) {
            const uint64_t o = order(i);
            if (o >= h.count || seen[o] || (i > starts[list] && o <= order(i - 1))) {
                return std::unexpected(malformed("the insertion numbers of list " + std::to_string(list) +
                                                 " are not distinct, ascending and below its count"));
            }
            seen[o] = true;
        }
    }
    if (verify) {
        const auto* centroids = reinterpret_cast<const float*>(image.data() + l.offset[0]);
        for (uint64_t i = 0; i < l.size[0] / 4; ++i) {
            if (!std::isfinite(centroids[i])) return std::unexpected(malformed("a centroid is not finite"));
        }
        const auto* ids = reinterpret_cast<const uint64_t*>(image.data() + l.offset[3]);
        for (uint64_t i = 0; i < h.count; ++i) {
            if (ids[i] == ivf::NO_ID) return std::unexpected(malformed("entry " + std::to_string(i) + " has the padding id"));
        }
    }
    return l;
}

}  // namespace

uint64_t image_size(const ivf::IvfIndex& index) { return sections_size(pieces_of(index).sections); }

void write_index(const ivf::IvfIndex& index, uint8_t* out) {
    const Pieces p = pieces_of(index);
    write_sections(header_of(index), p.sections, out);
}

FileResult<void> save_index(const ivf::IvfIndex& index, const std::string& path) {
    const Pieces p = pieces_of(index);
    return save_sections(path, header_of(index), p.sections);
}

FileResult<ivf::IvfIndex> read_ivf_index(std::span<const uint8_t> image, bool verify, std::shared_ptr<const void> keep,
                                         bool read_only) {
    auto header = read_header(image, IVF_FILE_TAG, "inverted-file (IvfIndex)");
    if (!header) return std::unexpected(header.error());
    auto layout = check_ivf(image, *header, verify);
    if (!layout) return std::unexpected(layout.error());
    const FamilyParameters& p = header->parameters;
    auto index = ivf::IvfIndex::make(p.dim, p.projections, p.bits, p.seed, static_cast<Metric>(p.metric));
    if (!index) return std::unexpected(malformed(index.error().message()));
    const uint8_t* records = image.data() + layout->offset[4];
    const bool whole = holds_whole_records(*header);
    if (verify) {
        auto checked = whole ? check_records(CompactFamily(index->family().quantizer(), index->family().metric()),
                                             *header, records)
                             : check_records(index->family(), *header, records);
        if (!checked) return std::unexpected(checked.error());
    }
    if (!keep) {
        // Entries read from a caller's buffer: the lists keep a copy of the image.
        auto copy = std::make_shared<std::vector<uint8_t>>(image.begin(), image.end());
        image = *copy;
        records = image.data() + layout->offset[4];
        keep = std::move(copy);
    }
    const uint32_t* orders = reinterpret_cast<const uint32_t*>(image.data() + layout->offset[2]);
    if (whole) {
        // Each record without its code's first bytes, which every record of the index shares,
        // and the insertion numbers in 32 bits (the count is below 2^32: checked).
        struct Converted {
            std::shared_ptr<const void> image;
            std::vector<uint8_t> records;
            std::vector<uint32_t> orders;
        };
        const size_t stride = index->family().record_size(), skip = header->record_size - stride;
        auto converted = std::make_shared<Converted>();
        converted->records.assign(header->count * stride + CompactFamily::SCAN_SLACK_BYTES, 0);
        for (uint64_t i = 0; i < header->count; ++i) {
            std::memcpy(converted->records.data() + i * stride, records + i * header->record_size + skip, stride);
        }
        const auto* wide = reinterpret_cast<const uint64_t*>(image.data() + layout->offset[2]);
        converted->orders.assign(wide, wide + header->count);
        converted->image = std::move(keep);
        records = converted->records.data();
        orders = converted->orders.data();
        keep = std::move(converted);
    }
    const auto at = [&](int s) { return image.data() + layout->offset[s]; };
    std::vector<float> centroids(layout->size[0] / 4);
    if (!centroids.empty()) std::memcpy(centroids.data(), at(0), layout->size[0]);
    index->adopt(std::move(centroids), std::move(keep), reinterpret_cast<const uint64_t*>(at(1)), orders,
                 {reinterpret_cast<const uint64_t*>(at(3)), header->count}, records, read_only);
    return std::move(*index);
}

FileResult<ivf::IvfIndex> load_ivf_index(const std::string& path, bool map, bool verify) {
    if (map) {
        auto mapping = map_file(path, verify);
        if (!mapping) return std::unexpected(mapping.error());
        const std::span<const uint8_t> image = **mapping;
        return read_ivf_index(image, verify, std::shared_ptr<const void>(*mapping), true);
    }
    auto file = open_file(path);
    if (!file) return std::unexpected(file.error());
    auto image = std::make_shared<std::vector<uint8_t>>(file->size);
    if (auto ok = read_at(*file, path, 0, image->data(), image->size()); !ok) return std::unexpected(ok.error());
    return read_ivf_index(*image, verify, image, false);
}

}  // namespace quillane::io
