// obx welding: distinct vectors and merged vertices.
#include "internal.h"

GLboolean obxVectorsEqual(const float* u, const float* v, float epsilon) {
  return obxAbsOf(u[0] - v[0]) < epsilon && obxAbsOf(u[1] - v[1]) < epsilon &&
         obxAbsOf(u[2] - v[2]) < epsilon;
}

// The distinct-vector search keeps, for every vector, the answer of a
// linear scan: the lowest kept slot within epsilon on every axis, or a new
// slot. Three shortcuts give exactly that answer:
//  - A vector with an infinite or NaN coordinate equals nothing.
//  - A vector equal bit for bit to an earlier finite one takes that one's
//    slot: every slot kept since has a higher number.
//  - The kept vectors sit in a hash grid with cells of four epsilons. A
//    float difference below epsilon means a true one below epsilon times
//    (1 + 2^-23), a quarter cell, so a match lies in the vector's own cell
//    or, on an axis where it is within a quarter cell (and a margin for the
//    cell numbers' rounding) of a face, the neighbour across that face: one
//    to eight cells. Vectors too far out for exact cell numbers are kept
//    aside and compared one by one.
namespace {

inline uint32_t obxMixBits(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return uint32_t(h);
}

// Open addressing over the first vector of each bit pattern, sized up front
// for every vector being distinct.
struct ObxExactTable {
  const float* vectors = nullptr;
  uint32_t mask = 0;
  std::vector<uint32_t> slots;  // vector index, 0 = empty

  ObxExactTable(const float* all, uint32_t count) : vectors(all) {
    uint32_t size = 16;
    while (size < count + count / 4 && size < (1u << 31)) size <<= 1;
    mask = size - 1;
    slots.assign(size, 0);
  }
  uint32_t home(uint32_t i) const {
    uint32_t b[3];
    memcpy(b, &vectors[3 * size_t(i)], sizeof b);
    return obxMixBits((uint64_t(b[0]) << 32 | b[1]) * 0x9E3779B97F4A7C15ull ^ b[2]) & mask;
  }
  // The lookups are independent, so the search asks for a later vector's
  // entry ahead of time.
  void prefetch(uint32_t i) const { __builtin_prefetch(&slots[home(i)]); }
  // The earlier vector with i's bits, or 0 after noting i as the first.
  uint32_t firstOf(uint32_t i) {
    const float* p = &vectors[3 * size_t(i)];
    uint32_t h = home(i);
    for (uint32_t step = 1;; step++) {
      uint32_t j = slots[h];
      if (j == 0) {
        slots[h] = i;
        return 0;
      }
      if (memcmp(&vectors[3 * size_t(j)], p, 3 * sizeof(float)) == 0) return j;
      h = (h + step) & mask;
    }
  }
};

struct ObxWeldGrid {
  static constexpr double kCellLimit = 1099511627776.0;  // 2^40: cell numbers exact to 2^-13
  static constexpr double kReach = 0.25 + 1.0 / 1024;    // a match's distance in cells, at most
  // Open addressing over the occupied cells, by hash: a probe of an empty
  // neighbour cell ends in one cache line, without touching the vectors.
  struct Cell {
    uint32_t hash;  // the cell's hash (cells sharing one share the entry)
    uint32_t head;  // newest kept slot in the cell, 0 = unused entry
  };
  double cell;
  uint32_t mask, used = 0;
  std::vector<Cell> cells;
  std::vector<uint32_t> next;      // kept slot -> next (older) slot of its cell
  std::vector<uint32_t> outliers;  // finite kept slots beyond the limit

  explicit ObxWeldGrid(double cellSize) : cell(cellSize), mask(1023), cells(1024, Cell{0, 0}) {}

  // Cell numbers of p and, per axis, the neighbour a match may lie in (-1,
  // +1, or 0 for none); false beyond the limit. *nearLimit tells that a
  // match may be an outlier.
  bool cellOf(const float* p, int64_t c[3], int side[3], bool* nearLimit) const {
    *nearLimit = false;
    for (int k = 0; k < 3; k++) {
      double q = double(p[k]) / cell;
      if (!(std::fabs(q) < kCellLimit)) return false;
      if (std::fabs(q) >= kCellLimit - 1) *nearLimit = true;
      double f = std::floor(q);
      c[k] = int64_t(f);
      side[k] = q - f < kReach ? -1 : q - f >= 1 - kReach ? 1 : 0;
    }
    return true;
  }
  static uint32_t hash(int64_t x, int64_t y, int64_t z) {
    return obxMixBits(uint64_t(x) * 0x9E3779B97F4A7C15ull ^ uint64_t(y) * 0xC2B2AE3D27D4EB4Full ^
                      uint64_t(z) * 0x165667B19E3779F9ull);
  }
  // The entry of the cells hashing to h, or the unused one where it would go.
  Cell* entryFor(uint32_t h) {
    for (uint32_t b = h & mask;; b = (b + 1) & mask)
      if (cells[b].head == 0 || cells[b].hash == h) return &cells[b];
  }
  // Adds a kept slot to its cell, doubling the table at half full.
  void add(uint32_t slot, uint32_t h) {
    if (next.size() <= slot) next.resize(std::max(size_t(slot) + 1, 2 * next.size()));
    if (2 * (size_t(used) + 1) > cells.size() && cells.size() < (size_t(1) << 31)) {
      std::vector<Cell> old(cells.size() * 2, Cell{0, 0});
      old.swap(cells);
      mask = uint32_t(cells.size() - 1);
      for (const Cell& e : old)
        if (e.head) *entryFor(e.hash) = e;
    }
    Cell* e = entryFor(h);
    used += e->head == 0;
    e->hash = h;
    next[slot] = e->head;
    e->head = slot;
  }
};
}  // namespace

// The search itself: map[i] receives the kept slot of vector i; returns
// the kept vectors, room for every one.
static ObxBlock<float> obxUniqueVectorsMapped(const float* vectors, uint32_t* numvectors,
                                              float epsilon, uint32_t* map) {
  const uint32_t count = *numvectors;
  ObxBlock<float> block(static_cast<float*>(malloc(3 * (size_t(count) + 1) * sizeof(float))));
  if (!block) throw std::bad_alloc();
  float* result = block.get();
  result[0] = result[1] = result[2] = 0.0f;
  uint32_t kept = 0;
  auto keep = [&](const float* p) {
    memcpy(&result[3 * size_t(++kept)], p, 3 * sizeof(float));
    return kept;
  };

  // With epsilon <= 0 (or NaN) nothing is ever equal; every vector is kept.
  if (!(epsilon > 0.0f)) {
    for (uint32_t i = 1; i <= count; i++) map[i] = keep(&vectors[3 * size_t(i)]);
    *numvectors = kept;
    return block;
  }

  ObxExactTable exact(vectors, count);
  ObxWeldGrid grid(4.0 * double(epsilon));
  const uint32_t kAhead = 16;
  for (uint32_t i = 1; i <= count; i++) {
    if (count - i >= kAhead) exact.prefetch(i + kAhead);
    const float* p = &vectors[3 * size_t(i)];
    if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
      map[i] = keep(p);
      continue;
    }
    if (uint32_t first = exact.firstOf(i)) {
      map[i] = map[first];
      continue;
    }
    uint32_t match = 0;
    int64_t c[3];
    int side[3];
    bool nearLimit = false;
    if (grid.cellOf(p, c, side, &nearLimit)) {
      const uint32_t own = ObxWeldGrid::hash(c[0], c[1], c[2]);
      for (int corner = 0; corner < 8; corner++) {
        if (((corner & 1) && !side[0]) || ((corner & 2) && !side[1]) || ((corner & 4) && !side[2]))
          continue;
        uint32_t h = corner == 0 ? own
                                 : ObxWeldGrid::hash(c[0] + ((corner & 1) ? side[0] : 0),
                                                     c[1] + ((corner & 2) ? side[1] : 0),
                                                     c[2] + ((corner & 4) ? side[2] : 0));
        // Slots of a cell run newest first: the last match is its lowest.
        for (uint32_t j = grid.entryFor(h)->head; j; j = grid.next[j])
          if ((match == 0 || j < match) && obxVectorsEqual(p, &result[3 * size_t(j)], epsilon))
            match = j;
      }
      if (nearLimit)
        for (uint32_t j : grid.outliers) {
          if (match != 0 && j > match) break;
          if (obxVectorsEqual(p, &result[3 * size_t(j)], epsilon)) {
            match = j;
            break;
          }
        }
      if (!match) grid.add(keep(p), own);
    } else {
      // Far out: compare against every kept vector.
      for (uint32_t j = 1; j <= kept && !match; j++)
        if (obxVectorsEqual(p, &result[3 * size_t(j)], epsilon)) match = j;
      if (!match) grid.outliers.push_back(keep(p));
    }
    map[i] = match ? match : kept;
  }
  *numvectors = kept;
  return block;
}

float* obxUniqueVectors(float* vectors, uint32_t* numvectors, float epsilon) {
  OBX_ASSERT(vectors && numvectors);
  return obxCall([=] {
    const uint32_t count = *numvectors;
    std::vector<uint32_t> map(size_t(count) + 1);
    ObxBlock<float> result = obxUniqueVectorsMapped(vectors, numvectors, epsilon, map.data());
    // Callers of this interface read the map from the x coordinates.
    for (uint32_t i = 1; i <= count; i++) vectors[3 * size_t(i)] = float(map[i]);
    return result.release();
  });
}

void obxMergeVertices(ObxModel* model, float epsilon) {
  OBX_ASSERT(model);
  OBX_ASSERT(model->vertices);
  obxCall([=] {
    // The map is kept as integers rather than in the x coordinates as
    // floats, which would renumber wrongly beyond 2^24 vertices.
    uint32_t count = model->numvertices;
    std::vector<uint32_t> map(size_t(count) + 1);
    // A kept vertex keeps the colour of the first vertex merged into it.
    ObxBlock<float> colors;
    if (model->colors) {
      colors.reset(static_cast<float*>(malloc(3 * (size_t(count) + 1) * sizeof(float))));
      if (!colors) throw std::bad_alloc();
    }
    float* unique = obxUniqueVectorsMapped(model->vertices, &count, epsilon, map.data()).release();
    for (uint32_t i = 0; i < model->numtriangles; i++)
      for (int k = 0; k < 3; k++) {
        uint32_t old = model->triangles[i].vindices[k];
        OBX_ASSERT(old >= 1 && old <= model->numvertices);
        model->triangles[i].vindices[k] = map[old];
      }
    for (uint32_t e = 0; e < model->numelements; e++)
      for (uint32_t i = 0; i < model->elements[e].count; i++) {
        uint32_t* index = &model->elementindices[2 * (size_t(model->elements[e].first) + i)];
        OBX_ASSERT(*index >= 1 && *index <= model->numvertices);
        *index = map[*index];
      }
    if (colors) {
      for (uint32_t i = model->numvertices; i >= 1; i--)  // the first last, so that it stays
        memcpy(&colors.get()[3 * size_t(map[i])], &model->colors[3 * size_t(i)], 3 * sizeof(float));
      memcpy(colors.get(), model->colors, 3 * sizeof(float));
      free(model->colors);
      model->colors = colors.release();
    }
    free(model->vertices);
    // Cut to the vertices kept; when that fails the larger block serves.
    float* fitted = static_cast<float*>(realloc(unique, 3 * (size_t(count) + 1) * sizeof(float)));
    model->vertices = fitted ? fitted : unique;
    model->numvertices = count;
  });
}
