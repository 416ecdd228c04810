// Files of graph indexes (docs/index-file-format.md, family 4): the common header (the
// degree where other families keep projections, the first entry in summary word 0), then
// the ids, the records and the edges, each section from a multiple of 64, so that a mapped
// file is searched in place.
#pragma once

#include <string>

#include "graph/graph_index.hpp"
#include "io/index_file.hpp"

namespace quillane::io {

inline constexpr uint8_t GRAPH_FILE_TAG = 4;

uint64_t image_size(const graph::GraphIndex& index);
void write_index(const graph::GraphIndex& index, uint8_t* out);
FileResult<void> save_index(const graph::GraphIndex& index, const std::string& path);

// The index in an image: copied (keep == nullptr), or viewed in place, read-only, while
// `keep` holds the image (a mapped file). Or in a file, read into memory of its own, or
// mapped. Every check comes before any allocation the file's counts decide.
FileResult<graph::GraphIndex> read_graph_index(std::span<const uint8_t> image, bool verify,
                                               std::shared_ptr<const void> keep = nullptr);
FileResult<graph::GraphIndex> load_graph_index(const std::string& path, bool map, bool verify);

}  // namespace quillane::io
