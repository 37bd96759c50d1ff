// Reading speed and memory of obxReadOBJ against other OBJ readers, one read
// per process, as a program that loads one scene meets them. Writes its
// inputs under /tmp/ostrel-bench. Run from a Release build (scripts/bench
// bench_reader); not a test.
//
// Usage: bench_reader [--runs N] [--markdown] [--assimp] [--scenes] [file or reader ...]
//   --runs N    measured runs per reader and file (default 11), after one warm-up
//   --scenes    write the files, print their paths and counts, and time nothing
//               (bench/python/bench_python.py reads the same files)
//   --markdown  print the tables as markdown
//   --assimp    time assimp too (several times slower than the others, so not
//               in the default run)
//   names       only these files (full-100k, full-2m, plain-2m, quad-1m, colour-1m) and/or
//               readers (obx: on every core, obx-1: on one thread, tinyobjloader,
//               fast_obj, rapidobj, assimp)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiny_obj_loader.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#ifdef OSTREL_HAVE_ASSIMP
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#endif
#ifdef OSTREL_HAVE_FAST_OBJ
#define FAST_OBJ_IMPLEMENTATION
#include <fast_obj.h>
#endif
#ifdef OSTREL_HAVE_RAPIDOBJ
#include <rapidobj/rapidobj.hpp>

#include <thread>
#endif

#include "obx/obx.h"

namespace {

const char kDirectory[] = "/tmp/ostrel-bench";
const int kGroups = 16;         // groups per scene, each with a usemtl
const int kMaterials = 4;       // materials in the scene's library
const int kDefaultRuns = 11;    // measured runs per reader and file
const size_t kChunk = 1 << 20;  // write and warm-up buffer: keeps this process small
const double kMB = 1e6;         // every MB in the output
const char kChildFlag[] = "--child";

// ---- The generated scenes ---------------------------------------------

struct Input {
  const char* name;
  const char* what;  // how the table names its content
  bool full;         // vt and vn, and faces of v/vt/vn items
  bool quads;        // one quad per cell instead of two triangles
  int side;          // grid of side x side vertices
  std::string path;
  bool extras = false;  // vertex colours, an object and a smoothing group per group
  uint64_t bytes = 0;
  uint64_t vertices = 0;
  uint64_t triangles = 0;  // after splitting each quad into two
};

// Writes a file through a small buffer, so that the children this process
// forks do not inherit a large resident set (their peak RSS would start there).
struct Writer {
  FILE* file;
  std::string buffer;
  uint64_t bytes = 0;

  void text(const char* s) { buffer += s; }
  void integer(uint64_t value) {
    char digits[24];
    int n = 0;
    do digits[n++] = char('0' + value % 10);
    while (value /= 10);
    while (n) buffer += digits[--n];
  }
  // Six decimals, as exporters print "%.6f", without stdio's cost per number.
  void fixed(double value) {
    long long micros = llround(value * 1e6);
    if (micros < 0) buffer += '-', micros = -micros;
    integer(uint64_t(micros / 1000000));
    char decimals[7];
    for (int i = 5, rest = int(micros % 1000000); i >= 0; i--, rest /= 10)
      decimals[i] = char('0' + rest % 10);
    decimals[6] = 0;
    buffer += '.';
    buffer += decimals;
  }
  void endLine() {
    buffer += '\n';
    if (buffer.size() >= kChunk) flush();
  }
  void flush() {
    if (fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) {
      perror("bench_reader: writing a scene");
      exit(1);
    }
    bytes += buffer.size();
    buffer.clear();
  }
};

// A wavy grid: side x side vertices, two triangles (or one quad) per cell,
// rows split into kGroups groups, each naming a material.
void writeScene(Input* input) {
  const int n = input->side;
  Writer out{fopen(input->path.c_str(), "wb"), {}};
  if (!out.file) {
    perror(input->path.c_str());
    exit(1);
  }
  out.buffer.reserve(kChunk + 256);
  out.text("# generated grid");
  out.endLine();
  out.text("mtllib grid.mtl");
  out.endLine();
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      out.text("v "), out.fixed(x * 0.01);
      out.text(" "), out.fixed(y * 0.01);
      out.text(" "), out.fixed(0.05 * std::sin(x * 0.07) * std::cos(y * 0.05));
      if (input->extras) {
        out.text(" "), out.fixed(double(x) / (n - 1));
        out.text(" "), out.fixed(double(y) / (n - 1));
        out.text(" 0.500000");
      }
      out.endLine();
    }
  if (input->full) {
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++) {
        out.text("vt "), out.fixed(double(x) / (n - 1));
        out.text(" "), out.fixed(double(y) / (n - 1));
        out.endLine();
      }
    for (int y = 0; y < n; y++)
      for (int x = 0; x < n; x++) {
        double nx = -0.0035 * std::cos(x * 0.07) * std::cos(y * 0.05);
        double ny = 0.0025 * std::sin(x * 0.07) * std::sin(y * 0.05);
        double length = std::sqrt(nx * nx + ny * ny + 1);
        out.text("vn "), out.fixed(nx / length);
        out.text(" "), out.fixed(ny / length);
        out.text(" "), out.fixed(1 / length);
        out.endLine();
      }
  }
  const int rowsPerGroup = (n - 1 + kGroups - 1) / kGroups;
  auto corner = [&](uint64_t index) {
    out.text(" ");
    out.integer(index);
    if (!input->full) return;
    out.text("/"), out.integer(index);
    out.text("/"), out.integer(index);
  };
  for (int y = 0; y < n - 1; y++) {
    if (y % rowsPerGroup == 0) {
      int g = y / rowsPerGroup;
      if (input->extras) out.text("o piece"), out.integer(uint64_t(g)), out.endLine();
      out.text("g part"), out.integer(uint64_t(g)), out.endLine();
      if (input->extras) out.text("s "), out.integer(uint64_t(g + 1)), out.endLine();
      out.text("usemtl m"), out.integer(uint64_t(g % kMaterials)), out.endLine();
    }
    for (int x = 0; x < n - 1; x++) {
      uint64_t a = uint64_t(y) * n + x + 1, b = a + 1, c = a + n + 1, d = a + n;
      if (input->quads) {
        out.text("f"), corner(a), corner(b), corner(c), corner(d), out.endLine();
      } else {
        out.text("f"), corner(a), corner(b), corner(c), out.endLine();
        out.text("f"), corner(a), corner(c), corner(d), out.endLine();
      }
    }
  }
  out.flush();
  fclose(out.file);
  input->bytes = out.bytes;
  input->vertices = uint64_t(n) * n;
  input->triangles = 2 * uint64_t(n - 1) * (n - 1);
}

void writeLibrary() {
  std::string path = std::string(kDirectory) + "/grid.mtl";
  FILE* file = fopen(path.c_str(), "w");
  if (!file) {
    perror(path.c_str());
    exit(1);
  }
  for (int m = 0; m < kMaterials; m++)
    fprintf(file, "newmtl m%d\nKa 0.1 0.1 0.1\nKd 0.%d 0.5 0.5\nKs 0.2 0.2 0.2\nNs 30\nillum 2\n",
            m, m + 2);
  fclose(file);
}

// Reads the file once so that every measured read finds it in the page cache.
void warmPageCache(const Input& input) {
  int fd = open(input.path.c_str(), O_RDONLY);
  if (fd < 0) {
    perror(input.path.c_str());
    exit(1);
  }
  std::vector<char> buffer(kChunk);
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }
  close(fd);
}

// ---- The readers, each run in a child process ---------------------------

// What one read found, for checking against the generator's counts.
struct Counts {
  uint64_t triangles = 0;
  uint64_t vertices = 0;  // positions; 0 when the reader does not keep them apart
};

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Each returns the wall time of the read call alone. Nothing is freed: the
// child exits right after reporting, as a program that keeps its scene would.
// obxReadOBJ on threads threads (0: every core the process may use).
double readObxOn(unsigned threads, const char* path, Counts* counts) {
  obxTextureUpload = GL_FALSE;  // no GL context here
  ObxReadOptions options = {};
  options.threads = threads;
  double start = now();
  ObxModel* model = obxReadOBJWithOptions(path, &options);
  double seconds = now() - start;
  counts->triangles = model->numtriangles;
  counts->vertices = model->numvertices;
  return seconds;
}
double readObx(const char* path, Counts* counts) { return readObxOn(0, path, counts); }
double readObx1(const char* path, Counts* counts) { return readObxOn(1, path, counts); }

double readTinyobj(const char* path, Counts* counts) {
  auto* attrib = new tinyobj::attrib_t;
  auto* shapes = new std::vector<tinyobj::shape_t>;
  auto* materials = new std::vector<tinyobj::material_t>;
  std::string warning, error;
  double start = now();
  bool read = tinyobj::LoadObj(attrib, shapes, materials, &warning, &error, path, kDirectory,
                               /*triangulate=*/true, /*default_vcols_fallback=*/false);
  double seconds = now() - start;
  if (!read) {
    fprintf(stderr, "tinyobjloader failed: %s\n", error.c_str());
    exit(1);
  }
  for (const tinyobj::shape_t& shape : *shapes)
    counts->triangles += shape.mesh.num_face_vertices.size();
  counts->vertices = attrib->vertices.size() / 3;
  return seconds;
}

#ifdef OSTREL_HAVE_FAST_OBJ
double readFastObj(const char* path, Counts* counts) {
  double start = now();
  fastObjMesh* mesh = fast_obj_read(path);
  double seconds = now() - start;
  if (!mesh) {
    fprintf(stderr, "fast_obj failed on %s\n", path);
    exit(1);
  }
  for (unsigned int i = 0; i < mesh->face_count; i++)
    counts->triangles += mesh->face_vertices[i] - 2;
  counts->vertices = mesh->position_count - 1;  // its element 0 is a dummy
  return seconds;
}
#endif

#ifdef OSTREL_HAVE_RAPIDOBJ
double readRapidobj(const char* path, Counts* counts) {
  double start = now();
  auto* result = new rapidobj::Result(rapidobj::ParseFile(path));
  double seconds = now() - start;
  if (result->error) {
    fprintf(stderr, "rapidobj failed: %s\n", result->error.code.message().c_str());
    exit(1);
  }
  for (const rapidobj::Shape& shape : result->shapes)
    for (auto corners : shape.mesh.num_face_vertices) counts->triangles += corners - 2;
  counts->vertices = result->attributes.positions.size() / 3;
  return seconds;
}
#endif

#ifdef OSTREL_HAVE_ASSIMP
double readAssimp(const char* path, Counts* counts) {
  auto* importer = new Assimp::Importer;
  double start = now();
  const aiScene* scene = importer->ReadFile(path, aiProcess_Triangulate);
  double seconds = now() - start;
  if (!scene) {
    fprintf(stderr, "assimp failed: %s\n", importer->GetErrorString());
    exit(1);
  }
  // Its vertices are per corner, so only the triangles are checked.
  for (unsigned int i = 0; i < scene->mNumMeshes; i++)
    counts->triangles += scene->mMeshes[i]->mNumFaces;
  return seconds;
}
#endif

struct Reader {
  const char* name;    // as given on the command line
  const char* label;  // as the tables show it
  bool optIn;         // run only when asked for
  double (*read)(const char* path, Counts* counts);
};

const Reader kReaders[] = {
    {"obx", "obxReadOBJ", false, readObx},
    {"obx-1", "obxReadOBJ, 1 thread", false, readObx1},
    {"tinyobjloader", "tinyobjloader", false, readTinyobj},
#ifdef OSTREL_HAVE_FAST_OBJ
    {"fast_obj", "fast_obj", false, readFastObj},
#endif
#ifdef OSTREL_HAVE_RAPIDOBJ
    {"rapidobj", "rapidobj", false, readRapidobj},
#endif
#ifdef OSTREL_HAVE_ASSIMP
    {"assimp", "assimp (Triangulate)", true, readAssimp},
#endif
};

const Reader* findReader(const char* name) {
  for (const Reader& reader : kReaders)
    if (strcmp(reader.name, name) == 0) return &reader;
  return nullptr;
}

double peakResidentMB() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss * 1024.0 / kMB;  // ru_maxrss is in KiB
}

// The child: bench_reader --child <reader> <path> <fd>. Reads once and writes
// "seconds peakMB beforeMB triangles vertices" to fd.
int runChild(char** argv) {
  const Reader* reader = findReader(argv[2]);
  if (!reader) return 2;
  double before = peakResidentMB();
  Counts counts;
  double seconds = reader->read(argv[3], &counts);
  double peak = peakResidentMB();
  dprintf(atoi(argv[4]), "%.9f %.3f %.3f %llu %llu\n", seconds, peak, before,
          (unsigned long long)counts.triangles, (unsigned long long)counts.vertices);
  _exit(0);  // skip freeing the scene; the parent has what it needs
}

// ---- The parent: one child per read -------------------------------------

struct Sample {
  double seconds;
  double peakMB;
  double beforeMB;
};

// Forks and re-executes this program to read input once with reader; checks
// that the reader found every triangle and vertex the generator wrote.
Sample measure(const Reader& reader, const Input& input) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    perror("pipe2");
    exit(1);
  }
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(1);
  }
  if (pid == 0) {
    fcntl(fds[1], F_SETFD, 0);  // the write end survives the exec
    std::string fd = std::to_string(fds[1]);
    const char* args[] = {"bench_reader",     kChildFlag, reader.name,
                          input.path.c_str(), fd.c_str(), nullptr};
    execv("/proc/self/exe", const_cast<char**>(args));
    _exit(127);
  }
  close(fds[1]);
  std::string report;
  char buffer[256];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Sample sample{};
  unsigned long long triangles = 0, vertices = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      sscanf(report.c_str(), "%lf %lf %lf %llu %llu", &sample.seconds, &sample.peakMB,
             &sample.beforeMB, &triangles, &vertices) != 5) {
    fprintf(stderr, "bench_reader: %s on %s failed (status %d)\n", reader.label, input.name,
            status);
    exit(1);
  }
  if (triangles != input.triangles || (vertices != 0 && vertices != input.vertices)) {
    fprintf(stderr,
            "bench_reader: %s read %llu triangles and %llu vertices from %s; "
            "it has %llu and %llu\n",
            reader.label, triangles, vertices, input.name, (unsigned long long)input.triangles,
            (unsigned long long)input.vertices);
    exit(1);
  }
  return sample;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Row {
  const Reader* reader;
  double medianMs, minMs, megabytesPerSecond, ratio, peakMB, peakRatio;
};

// Formats a count with thousands separators.
std::string grouped(uint64_t value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

void printTable(const Input& input, const std::vector<Row>& rows, double beforeLow,
                double beforeHigh, bool markdown, bool assimp) {
  printf("\n%s%s: %s, %s triangles, %s vertices, %.1f MB\n", markdown ? "### " : "", input.name,
         input.what, grouped(input.triangles).c_str(), grouped(input.vertices).c_str(),
         input.bytes / kMB);
  if (markdown) printf("\n");
  const char* headers[] = {"reader", "median ms",   "min ms",      "MB/s",
                           "vs obx", "peak RSS MB", "RSS vs obx"};
  if (markdown)
    printf("| %s | %s | %s | %s | %s | %s | %s |\n|---|---:|---:|---:|---:|---:|---:|\n",
           headers[0], headers[1], headers[2], headers[3], headers[4], headers[5], headers[6]);
  else
    printf("  %-22s %10s %10s %8s %7s %12s %14s\n", headers[0], headers[1], headers[2], headers[3],
           headers[4], headers[5], headers[6]);
  for (const Row& row : rows) {
    if (markdown)
      printf("| %s | %.1f | %.1f | %.0f | %.2fx | %.1f | %.2fx |\n", row.reader->label,
             row.medianMs, row.minMs, row.megabytesPerSecond, row.ratio, row.peakMB, row.peakRatio);
    else
      printf("  %-22s %10.1f %10.1f %8.0f %6.2fx %12.1f %13.2fx\n", row.reader->label,
             row.medianMs, row.minMs, row.megabytesPerSecond, row.ratio, row.peakMB,
             row.peakRatio);
  }
  const char* indent = markdown ? "" : "  ";
  if (markdown) printf("\n");
  printf("%sEvery run's triangle and vertex counts match the generator's%s.\n", indent,
         assimp ? " (assimp: triangles only, its vertices are per corner)" : "");
  printf("%sBefore its read each child held %.1f to %.1f MB.\n", indent, beforeLow, beforeHigh);
}

void usage() {
  fprintf(stderr,
          "usage: bench_reader [--runs N] [--markdown] [--assimp] [--scenes] [file or reader "
          "...]\n");
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], kChildFlag) == 0) return runChild(argv);

  std::vector<Input> inputs = {
      {"full-100k", "v/vt/vn, f a/a/a b/b/b c/c/c", true, false, 225, ""},
      {"full-2m", "v/vt/vn, f a/a/a b/b/b c/c/c", true, false, 1001, ""},
      {"plain-2m", "v only, f a b c", false, false, 1001, ""},
      {"quad-1m", "v/vt/vn, f a/a/a b/b/b c/c/c d/d/d", true, true, 1001, ""},
      {"colour-1m", "v x y z r g b, o and s per group, f a b c", false, false, 708, "", true},
  };
  int runs = kDefaultRuns;
  bool markdown = false, assimp = false, scenesOnly = false;
  std::vector<std::string> names;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = atoi(argv[++i]);
      if (runs < 1) usage();
    } else if (strcmp(argv[i], "--markdown") == 0) {
      markdown = true;
    } else if (strcmp(argv[i], "--assimp") == 0) {
      assimp = true;
    } else if (strcmp(argv[i], "--scenes") == 0) {
      scenesOnly = true;
    } else if (argv[i][0] == '-') {
      usage();
    } else {
      names.push_back(argv[i]);
    }
  }
  auto named = [&](const char* name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  bool someReaderNamed = false, someInputNamed = false;
  for (const std::string& name : names) {
    bool isReader = findReader(name.c_str()) != nullptr;
    bool isInput = std::any_of(inputs.begin(), inputs.end(),
                               [&](const Input& input) { return name == input.name; });
    if (!isReader && !isInput) {
      fprintf(stderr, "bench_reader: no file or reader (in this build) named %s\n", name.c_str());
      usage();
    }
    someReaderNamed |= isReader, someInputNamed |= isInput;
  }
  std::vector<const Reader*> readers;
  for (const Reader& reader : kReaders) {
    bool wanted = someReaderNamed ? named(reader.name) : !reader.optIn;
    if (wanted || (reader.optIn && assimp)) readers.push_back(&reader);
  }
  if (someInputNamed)
    inputs.erase(std::remove_if(inputs.begin(), inputs.end(),
                                [&](const Input& input) { return !named(input.name); }),
                 inputs.end());
  // The ratio column is against obxReadOBJ, so it is always measured.
  if (readers.empty() || readers[0] != &kReaders[0]) readers.insert(readers.begin(), &kReaders[0]);

  mkdir(kDirectory, 0755);
  writeLibrary();
  for (Input& input : inputs) {
    input.path = std::string(kDirectory) + "/" + input.name + ".obj";
    writeScene(&input);
  }
  if (scenesOnly) {
    for (const Input& input : inputs)
      printf("%s %s %llu %llu %llu\n", input.name, input.path.c_str(),
             (unsigned long long)input.vertices, (unsigned long long)input.triangles,
             (unsigned long long)input.bytes);
    return 0;
  }

  printf(
      "Inputs under %s. One read per process: this program re-executes itself for each read.\n"
      "Times are the wall time of the read call alone (CLOCK_MONOTONIC), with the file in the\n"
      "page cache; per file, one warm-up run of each reader, then %d rounds of one run of\n"
      "each reader in turn, so that a busy moment of the machine falls on all of them.\n"
      "median/min ms: over those runs; MB/s: file size / median; vs obx: median / obxReadOBJ's\n"
      "median. peak RSS: median over the runs of the reading process's ru_maxrss (MB = 10^6\n"
      "bytes); RSS vs obx: that peak / obxReadOBJ's.\n",
      kDirectory, runs);
#ifdef OSTREL_HAVE_RAPIDOBJ
  if (std::find(readers.begin(), readers.end(), findReader("rapidobj")) != readers.end())
    printf("rapidobj uses %u threads (one per hardware thread).\n",
           std::thread::hardware_concurrency());
#endif
  for (const Input& input : inputs) {
    warmPageCache(input);
    std::vector<Row> rows;
    double beforeLow = 1e30, beforeHigh = 0;
    // Warm-ups (checked, not counted), then the readers in turn, round by round.
    for (const Reader* reader : readers) measure(*reader, input);
    std::vector<std::vector<double>> ms(readers.size()), peaks(readers.size());
    for (int i = 0; i < runs; i++)
      for (size_t r = 0; r < readers.size(); r++) {
        Sample sample = measure(*readers[r], input);
        ms[r].push_back(sample.seconds * 1e3);
        peaks[r].push_back(sample.peakMB);
        beforeLow = std::min(beforeLow, sample.beforeMB);
        beforeHigh = std::max(beforeHigh, sample.beforeMB);
      }
    for (size_t r = 0; r < readers.size(); r++) {
      Row row{readers[r], median(ms[r]), *std::min_element(ms[r].begin(), ms[r].end()), 0, 0,
              median(peaks[r]), 0};
      row.megabytesPerSecond = input.bytes / kMB / (row.medianMs / 1e3);
      row.ratio = row.medianMs / (rows.empty() ? row.medianMs : rows[0].medianMs);
      row.peakRatio = row.peakMB / (rows.empty() ? row.peakMB : rows[0].peakMB);
      rows.push_back(row);
    }
    bool withAssimp =
        std::any_of(readers.begin(), readers.end(), [](const Reader* r) { return r->optIn; });
    printTable(input, rows, beforeLow, beforeHigh, markdown, withAssimp);
  }
  return 0;
}
