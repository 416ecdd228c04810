#include "graph_file.hpp"

#include <vector>

#include "format/bytes.hpp"

namespace quillane::io {

namespace {

template <class T> std::span<const uint8_t> bytes_of(std::span<const T> v) {
    return {reinterpret_cast<const uint8_t*>(v.data()), v.size_bytes()};
}

IndexHeader header_of(const graph::GraphIndex& index) {
    IndexHeader h;
    h.family = GRAPH_FILE_TAG;
    h.parameters = {index.dim(), index.bits(), index.degree(), index.seed(), static_cast<uint8_t>(index.metric())};
    h.record_size = static_cast<uint32_t>(index.family().record_size());
    h.count = index.size();
    h.summary[0] = index.entry();
    return h;
}

// The sections in order: ids, records, edges.
std::vector<Section> sections_of(const graph::GraphIndex& index) {
    return {{bytes_of(index.flat().id_list())}, {index.flat().record_bytes()}, {index.graph().bytes()}};
}

// The compact quantizer of a header (its projections field holds the degree).
FamilyParameters family_of(const IndexHeader& h) {
    const FamilyParameters& p = h.parameters;
    return {p.dim, p.bits, 0, p.seed, p.metric};
}

SectionLayout layout_of(const IndexHeader& h) {
    const uint64_t sizes[3] = {h.count * 8, h.count * h.record_size, h.count * h.parameters.projections * 4};
    return layout_of_sections(sizes);
}

FileResult<SectionLayout> check_graph(std::span<const uint8_t> image, const IndexHeader& h, bool verify) {
    const uint64_t degree = h.parameters.projections;
    if (auto ok = CompactFamily::check_parameters(family_of(h)); !ok) {
        return std::unexpected(malformed("its quantizer's integers are refused: " + ok.error().message()));
    }
    if (degree < 2 || degree > graph::GraphIndex::MAX_DEGREE) {
        return std::unexpected(malformed("its degree " + std::to_string(degree) + " is not between 2 and 256"));
    }
    const uint64_t record_size = CompactFamily::record_size_of(family_of(h));
    if (h.record_size != record_size) {
        return std::unexpected(malformed("record size " + std::to_string(h.record_size) +
                                         " does not match its quantizer's " + std::to_string(record_size)));
    }
    if (h.count > graph::GraphIndex::MAX_ENTRIES) {
        return std::unexpected(malformed("its count " + std::to_string(h.count) + " is above 4294967295 entries"));
    }
    if (h.summary[1] != 0 || (h.count == 0 ? h.summary[0] != 0 : h.summary[0] >= h.count)) {
        return std::unexpected(malformed("its first entry " + std::to_string(h.summary[0]) + " is not one of its " +
                                         std::to_string(h.count) + " entries"));
    }
    // The count against the file's size before any product of it.
    if (h.count > (image.size() - HEADER_SIZE) / (8 + h.record_size + 4 * degree)) {
        return std::unexpected(malformed("truncated or damaged: " + std::to_string(h.count) + " entries do not fit in " +
                                         std::to_string(image.size()) + " bytes"));
    }
    const SectionLayout l = layout_of(h);
    if (auto ok = check_section_padding(image, l); !ok) return std::unexpected(ok.error());
    if (verify && bytes::read_u32(image, 56) != crc32_of(image.subspan(HEADER_SIZE))) {
        return std::unexpected(malformed("body checksum mismatch: the ids, records or edges are damaged"));
    }
    // The edges, always: a search follows them. Each block holds entry numbers below the
    // count, then only NONE.
    const auto* words = reinterpret_cast<const uint32_t*>(image.data() + l.offset[2]);
    for (uint64_t v = 0; v < h.count; ++v) {
        bool ended = false;
        for (uint64_t i = 0; i < degree; ++i) {
            const uint32_t u = words[v * degree + i];
            if (u == graph::Adjacency::NONE) {
                ended = true;
            } else if (ended || u >= h.count) {
                return std::unexpected(malformed("the edges of entry " + std::to_string(v) +
                                                 " are not entry numbers below its count, then unused slots"));
            }
        }
    }
    if (verify) {
        const auto* ids = reinterpret_cast<const uint64_t*>(image.data() + l.offset[0]);
        for (uint64_t i = 0; i < h.count; ++i) {
            if (ids[i] == NO_ID) return std::unexpected(malformed("entry " + std::to_string(i) + " has the padding id"));
        }
    }
    return l;
}

}  // namespace

uint64_t image_size(const graph::GraphIndex& index) { return sections_size(sections_of(index)); }

void write_index(const graph::GraphIndex& index, uint8_t* out) { write_sections(header_of(index), sections_of(index), out); }

FileResult<void> save_index(const graph::GraphIndex& index, const std::string& path) {
    return save_sections(path, header_of(index), sections_of(index));
}

FileResult<graph::GraphIndex> read_graph_index(std::span<const uint8_t> image, bool verify,
                                               std::shared_ptr<const void> keep) {
    auto header = read_header(image, GRAPH_FILE_TAG, "graph (GraphIndex)");
    if (!header) return std::unexpected(header.error());
    auto layout = check_graph(image, *header, verify);
    if (!layout) return std::unexpected(layout.error());
    auto family = CompactFamily::build(family_of(*header));
    if (!family) return std::unexpected(malformed(family.error().message()));
    const uint8_t* records = image.data() + layout->offset[1];
    if (verify) {
        if (auto ok = check_records(*family, *header, records); !ok) return std::unexpected(ok.error());
    }
    const size_t n = header->count;
    const auto degree = static_cast<uint32_t>(header->parameters.projections);
    const auto* ids = reinterpret_cast<const uint64_t*>(image.data() + layout->offset[0]);
    const auto* edges = reinterpret_cast<const uint32_t*>(image.data() + layout->offset[2]);
    if (keep) {
        return graph::GraphIndex(FlatIndex<CompactFamily>::viewing(std::move(*family), {}, keep, ids, records, n),
                                 graph::Adjacency::viewing(degree, keep, edges, n), header->summary[0]);
    }
    return graph::GraphIndex(FlatIndex<CompactFamily>::restored(std::move(*family), {}, {ids, n},
                                                                {records, n * header->record_size}),
                             graph::Adjacency::restored(degree, edges, n), header->summary[0]);
}

FileResult<graph::GraphIndex> load_graph_index(const std::string& path, bool map, bool verify) {
    if (map) {
        auto mapping = map_file(path, verify);
        if (!mapping) return std::unexpected(mapping.error());
        const std::span<const uint8_t> image = **mapping;
        return read_graph_index(image, verify, std::shared_ptr<const void>(*mapping));
    }
    auto file = open_file(path);
    if (!file) return std::unexpected(file.error());
    std::vector<uint8_t> image(file->size);
    if (auto ok = read_at(*file, path, 0, image.data(), image.size()); !ok) return std::unexpected(ok.error());
    return read_graph_index(image, verify);
}

}  // namespace quillane::io
