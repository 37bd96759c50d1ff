// Test support: temp files, the GL context, child processes, X helpers.
#include "support.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
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
  std::string header = "P6\n" + std::to_string(image.width) + " " +
                       std::to_string(image.height) + "\n255\n";
  std::string ppm = dir.write("shot.ppm", header + std::string(image.rgb.begin(), image.rgb.end()));
  return std::system(("convert " + ppm + " " + path).c_str()) == 0;
}

}  // namespace ostrel_test
