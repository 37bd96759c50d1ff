// Test support: temp files, the GL context, child processes, X helpers.
#include "support.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ostrel_test {

namespace fs = std::filesystem;

std::string stderrOfChild(const std::function<void()>& body, int* status) {
  char errPath[] = "/tmp/ostrel-child-err-XXXXXX";
  int errFd = mkstemp(errPath);
  if (errFd < 0) throw std::runtime_error("mkstemp failed");
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(errFd, 2);
    body();
    _exit(0);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  std::string err = readFile(errPath);
  close(errFd);
  unlink(errPath);
  return err;
}

std::string printedBy(const std::function<void()>& body) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TempDir::TempDir() {
  char pattern[] = "/tmp/ostrel-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string full = path_ + "/" + name;
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream out(full, std::ios::binary);
  out << content;
  return full;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void requireGlContext() {
  static bool ready = false;
  if (ready) return;
  if (!getenv("DISPLAY")) throw std::runtime_error("GL tests need an X server (DISPLAY)");
  static int argc = 1;
  static char name[] = "ostrel-test";
  static char* argv[] = {name, nullptr};
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
  glutInitWindowSize(800, 600);
  glutCreateWindow("ostrel-test");
  glutHideWindow();
  glewInit();
  ready = true;
}

double meanAbsDifference(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height || a.rgb.empty()) return 1.0;
  double sum = 0;
  for (size_t i = 0; i < a.rgb.size(); i++) sum += std::abs(int(a.rgb[i]) - int(b.rgb[i]));
  return sum / (255.0 * a.rgb.size());
}

static std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
  return text;
}

static int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

static pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd, int in, int out,
                   int err) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  if (chdir(cwd.c_str()) != 0) _exit(126);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

static int waitFor(pid_t pid, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return decodeStatus(status);
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

RunResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::string& input, double timeoutSeconds) {
  TempDir dir;
  std::string inPath = dir.write("in", input);
  std::string outPath = dir.path() + "/out", errPath = dir.path() + "/err";
  int in = open(inPath.c_str(), O_RDONLY);
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = spawn(argv, cwd, in, out, err);
  close(in);
  close(out);
  close(err);
  RunResult result;
  result.status = waitFor(pid, timeoutSeconds);
  if (result.status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

Program::Program(const std::vector<std::string>& argv, const std::string& cwd) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  std::string outPath = dir_.path() + "/out", errPath = dir_.path() + "/err";
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_ = spawn(argv, cwd, pipeFds[0], out, err);
  close(pipeFds[0]);
  close(out);
  close(err);
  stdinFd_ = pipeFds[1];
}

Program::~Program() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  closeInput();
}

int Program::wait(double timeoutSeconds) {
  if (status_ != -1) return status_;
  status_ = waitFor(pid_, timeoutSeconds);
  return status_;
}

bool Program::running() { return wait(0) == -1; }

void Program::writeInput(const std::string& text) {
  if (stdinFd_ >= 0 && ::write(stdinFd_, text.data(), text.size()) < 0) closeInput();
}

void Program::closeInput() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

std::string Program::out() const { return readFile(dir_.path() + "/out"); }
std::string Program::err() const { return readFile(dir_.path() + "/err"); }

std::string run(const std::string& shellCommand) {
  FILE* pipe = popen(shellCommand.c_str(), "r");
  if (!pipe) return "";
  std::string text = readAll(fileno(pipe));
  pclose(pipe);
  return text;
}

std::string findWindow(const std::string& name, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  do {
    std::string ids = run("xdotool search --name '^" + name + "$' 2>/dev/null");
    std::istringstream lines(ids);
    std::string id;
    if (lines >> id) return id;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return "";
}

bool noWindowNamed(const std::string& name, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  do {
    if (run("xdotool search --name '^" + name + "$' 2>/dev/null").empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool windowSize(const std::string& window, int* width, int* height) {
  std::string text = run("xdotool getwindowgeometry --shell " + window + " 2>/dev/null");
  std::istringstream lines(text);
  std::string line;
  bool haveW = false, haveH = false;
  while (std::getline(lines, line)) {
    if (line.rfind("WIDTH=", 0) == 0) haveW = (*width = std::atoi(line.c_str() + 6), true);
    if (line.rfind("HEIGHT=", 0) == 0) haveH = (*height = std::atoi(line.c_str() + 7), true);
  }
  return haveW && haveH;
}

Image captureWindow(const std::string& window) {
  // PPM through a pipe: header "P6\n<w> <h>\n<max>\n", then RGB bytes.
  std::string data = run("import -window " + window + " -depth 8 ppm:- 2>/dev/null");
  Image image;
  std::istringstream in(data);
  std::string magic;
  int maxValue = 0;
  if (!(in >> magic >> image.width >> image.height >> maxValue) || magic != "P6") return {};
  in.get();
  size_t size = size_t(image.width) * image.height * 3;
  size_t offset = size_t(in.tellg());
  if (data.size() < offset + size) return {};
  image.rgb.assign(data.begin() + offset, data.begin() + offset + size);
  return image;
}

bool savePng(const Image& image, const std::string& path) {
  TempDir dir;
  std::string header =
      "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
  std::string ppm = dir.write("shot.ppm", header + std::string(image.rgb.begin(), image.rgb.end()));
  return std::system(("convert " + ppm + " " + path).c_str()) == 0;
}

}  // namespace ostrel_test

#include <cmath>

#include "obx/obx.h"

namespace ostrel_test {

ModelBuilder::ModelBuilder() { groups_.push_back({"default", 0, {}}); }

uint32_t ModelBuilder::vertex(float x, float y, float z) {
  vertices_.insert(vertices_.end(), {x, y, z});
  return uint32_t(vertices_.size() / 3);
}

uint32_t ModelBuilder::normal(float x, float y, float z) {
  normals_.insert(normals_.end(), {x, y, z});
  return uint32_t(normals_.size() / 3);
}

uint32_t ModelBuilder::texcoord(float u, float v) {
  texcoords_.insert(texcoords_.end(), {u, v});
  return uint32_t(texcoords_.size() / 2);
}

uint32_t ModelBuilder::material(const std::string& name, float r, float g, float b, float a,
                                int32_t mapDiffuse) {
  if (materials_.empty()) materials_.push_back({"default", {0.8f, 0.8f, 0.8f, 1.0f}, -1});
  materials_.push_back({name, {r, g, b, a}, mapDiffuse});
  return uint32_t(materials_.size() - 1);
}

int32_t ModelBuilder::texture(const std::string& name, unsigned id) {
  textures_.push_back({name, id});
  return int32_t(textures_.size() - 1);
}

void ModelBuilder::group(const std::string& name, uint32_t material) {
  for (size_t i = 0; i < groups_.size(); i++)
    if (groups_[i].name == name) {
      current_ = i;
      return;
    }
  groups_.push_back({name, material, {}});
  current_ = groups_.size() - 1;
}

uint32_t ModelBuilder::triangle(uint32_t a, uint32_t b, uint32_t c, uint32_t material) {
  const uint32_t v[3] = {a, b, c}, none[3] = {OBX_NO_INDEX, OBX_NO_INDEX, OBX_NO_INDEX};
  return triangle(v, none, none, material);
}

uint32_t ModelBuilder::triangle(const uint32_t v[3], const uint32_t n[3], const uint32_t t[3],
                                uint32_t material) {
  Triangle tri;
  for (int k = 0; k < 3; k++) tri.v[k] = v[k], tri.n[k] = n[k], tri.t[k] = t[k];
  tri.material = material;
  triangles_.push_back(tri);
  uint32_t index = uint32_t(triangles_.size() - 1);
  groups_[current_].triangles.push_back(index);
  return index;
}

template <typename T>
static T* copyArray(const std::vector<T>& items, size_t leading) {
  T* block = static_cast<T*>(calloc(items.size() + leading + 1, sizeof(T)));
  std::copy(items.begin(), items.end(), block + leading);
  return block;
}

ObxModel* ModelBuilder::build(bool facets) const {
  ObxModel* m = static_cast<ObxModel*>(calloc(1, sizeof(ObxModel)));
  m->path = obxCopyString("built.obj");
  m->numvertices = uint32_t(vertices_.size() / 3);
  m->vertices = copyArray(vertices_, 3);
  if (!normals_.empty()) {
    m->numnormals = uint32_t(normals_.size() / 3);
    m->normals = copyArray(normals_, 3);
  }
  if (!texcoords_.empty()) {
    m->numtexcoords = uint32_t(texcoords_.size() / 2);
    m->texcoords = copyArray(texcoords_, 2);
  }
  m->numtriangles = uint32_t(triangles_.size());
  m->triangles = static_cast<ObxTriangle*>(calloc(triangles_.size() + 1, sizeof(ObxTriangle)));
  for (size_t i = 0; i < triangles_.size(); i++) {
    ObxTriangle& t = m->triangles[i];
    for (int k = 0; k < 3; k++) {
      t.vindices[k] = triangles_[i].v[k];
      t.nindices[k] = triangles_[i].n[k];
      t.tindices[k] = triangles_[i].t[k];
    }
    t.material = triangles_[i].material;
    t.findex = OBX_NO_INDEX;
  }
  if (facets) {
    m->numfacetnorms = m->numtriangles;
    m->facetnorms = static_cast<float*>(calloc(3 * (m->numtriangles + 1), sizeof(float)));
    for (uint32_t i = 0; i < m->numtriangles; i++) {
      ObxTriangle& t = m->triangles[i];
      const float* p0 = &m->vertices[3 * t.vindices[0]];
      const float* p1 = &m->vertices[3 * t.vindices[1]];
      const float* p2 = &m->vertices[3 * t.vindices[2]];
      float u[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
      float v[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
      float* n = &m->facetnorms[3 * (i + 1)];
      n[0] = u[1] * v[2] - u[2] * v[1];
      n[1] = u[2] * v[0] - u[0] * v[2];
      n[2] = u[0] * v[1] - u[1] * v[0];
      float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      for (int k = 0; k < 3; k++) n[k] /= length;
      t.findex = i + 1;
    }
  }
  if (!materials_.empty()) {
    m->nummaterials = uint32_t(materials_.size());
    m->materials = static_cast<ObxMaterial*>(calloc(materials_.size(), sizeof(ObxMaterial)));
    for (size_t i = 0; i < materials_.size(); i++) {
      ObxMaterial& out = m->materials[i];
      out.name = obxCopyString(materials_[i].name.c_str());
      for (int k = 0; k < 4; k++) out.diffuse[k] = materials_[i].diffuse[k];
      for (int k = 0; k < 3; k++) out.ambient[k] = 0.2f, out.specular[k] = 0.0f;
      out.ambient[3] = out.specular[3] = 1.0f;
      out.shininess = 65.0f;
      out.map_diffuse = materials_[i].map;
    }
  }
  if (!textures_.empty()) {
    m->numtextures = uint32_t(textures_.size());
    m->textures = static_cast<ObxTexture*>(calloc(textures_.size(), sizeof(ObxTexture)));
    for (size_t i = 0; i < textures_.size(); i++) {
      m->textures[i].name = obxCopyString(textures_[i].first.c_str());
      m->textures[i].id = textures_[i].second;
      m->textures[i].width = m->textures[i].height = 1.0f;
    }
  }
  // The list runs newest first, so link from the oldest group forward.
  for (const Group& g : groups_) {
    ObxGroup* node = static_cast<ObxGroup*>(calloc(1, sizeof(ObxGroup)));
    node->name = obxCopyString(g.name.c_str());
    node->material = g.material;
    node->numtriangles = uint32_t(g.triangles.size());
    node->triangles = copyArray(g.triangles, 0);
    node->next = m->groups;
    m->groups = node;
    m->numgroups++;
  }
  return m;
}

// Everything a read leaves in the model, as text.
std::string describe(const ObxModel* model) {
  std::string out;
  auto number = [&](uint64_t value) { out += std::to_string(value) + ' '; };
  auto floats = [&](const float* values, size_t count) {
    if (!values) return out.append("null\n"), void();
    for (size_t i = 0; i < count; i++) {
      uint32_t bits;
      memcpy(&bits, &values[i], sizeof bits);
      number(bits);
    }
    out += '\n';
  };
  number(model->numvertices), number(model->numnormals), number(model->numtexcoords);
  number(model->numtriangles), number(model->numfacetnorms), number(model->numgroups);
  number(model->nummaterials);
  out += model->mtllibname ? model->mtllibname : "(none)";
  out += '\n';
  floats(model->vertices, 3 * (size_t(model->numvertices) + 1));
  floats(model->normals, model->normals ? 3 * (size_t(model->numnormals) + 1) : 0);
  floats(model->texcoords, model->texcoords ? 2 * (size_t(model->numtexcoords) + 1) : 0);
  floats(model->facetnorms, 3 * (size_t(model->numfacetnorms) + 1));
  for (uint32_t i = 0; i < model->numtriangles; i++) {
    const ObxTriangle& t = model->triangles[i];
    for (int j = 0; j < 3; j++) number(t.vindices[j]), number(t.tindices[j]), number(t.nindices[j]);
    number(t.findex), number(t.material);
    out += '\n';
  }
  for (const ObxGroup* g = model->groups; g; g = g->next) {
    out += '[' + std::string(g->name) + "] ";
    number(g->material);
    for (uint32_t i = 0; i < g->numtriangles; i++) number(g->triangles[i]);
    out += '\n';
  }
  for (uint32_t i = 0; i < model->nummaterials; i++) {
    const ObxMaterial& m = model->materials[i];
    out += '{' + std::string(m.name) + "} ";
    floats(m.diffuse, 4);
  }
  floats(model->colors, model->colors ? 3 * (size_t(model->numvertices) + 1) : 0);
  floats(model->texcoordw, model->texcoordw ? size_t(model->numtexcoords) + 1 : 0);
  for (uint32_t i = 0; model->smoothing && i < model->numtriangles; i++)
    number(model->smoothing[i]);
  out += '\n';
  for (uint32_t i = 0; i < model->numobjects; i++)
    out += '<' + std::string(model->objects[i].name) + "> " +
           std::to_string(model->objects[i].firsttriangle) + ' ' +
           std::to_string(model->objects[i].firstelement) + '\n';
  for (uint32_t i = 0; i < model->numpolygons; i++)
    number(model->polygons[i].triangle), number(model->polygons[i].numcorners),
        number(model->polygons[i].numfaces);
  out += '\n';
  for (uint32_t e = 0; e < model->numelements; e++) {
    const ObxElement& el = model->elements[e];
    out += std::string(1, el.type) + ' ' + (el.group ? el.group->name : "?") + ' ';
    number(el.triangle);
    for (uint32_t i = 0; i < 2 * el.count; i++) number(model->elementindices[2 * el.first + i]);
    out += '\n';
  }
  return out;
}

}  // namespace ostrel_test
