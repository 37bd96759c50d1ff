// obx readers' input: files read in blocks, the scanner's full "%f" rules
// and the token helpers both readers use.
#include "internal.h"

// ---- Files -------------------------------------------------------------------

ObxInput::~ObxInput() {
  if (fd >= 0) close(fd);
  free(buffer);
}

ObxOpenResult ObxInput::open(const char* path) {
  // Without blocking: a FIFO with no writer is refused below, not waited on.
  fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = strerror(errno);
    return OBX_OPEN_FAILED;
  }
  struct stat info;
  // Only regular files: the MTL reader takes two passes over its file,
  // which a pipe cannot give, and a directory has no text.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = "not a regular file (only regular files are read)";
    return OBX_OPEN_FAILED;
  }
  size = uint64_t(info.st_size);
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return OBX_OPEN_OK;
}

void ObxInput::openMemory(const void* bytes, size_t n) {
  memory = static_cast<const char*>(bytes);
  size = n;
}

// A line ending in a backslash goes on in the next: the backslash and the
// line end read as blanks. A backslash (and CR) at the end of [p, last)
// waits for what follows it: returns how many bytes wait.
static size_t obxJoinLines(char* p, char* last, bool eof) {
  size_t waiting = 0;
  for (; (p = static_cast<char*>(memchr(p, '\\', size_t(last - p)))); p++) {
    const size_t cr = last - p > 1 && p[1] == '\r';
    if (p + 1 + cr < last && p[1 + cr] == '\n')
      memset(p, ' ', 2 + cr);
    else if (p + 1 + cr >= last && !eof)
      waiting = size_t(last - p);
  }
  return waiting;
}

bool ObxInput::more(const char* keep, size_t room) {
  OBX_ASSERT(keep >= data && keep <= end);
  const size_t skip = size_t(keep - data), kept = size_t(end - keep) + held;
  if (kept + room > capacity) {
    const size_t grown = std::max(kept + room, 2 * capacity);
    char* block = static_cast<char*>(realloc(buffer, grown));
    if (!block) return false;
    buffer = block;
    capacity = grown;
  }
  // data is the buffer's start once anything was read: where the kept
  // bytes are now.
  if (kept) memmove(buffer, buffer + skip, kept);
  offset += skip;
  data = buffer;
  end = buffer + kept;
  // Whole blocks, a short read where the file ends or shrank: what was
  // read is the file as far as it goes, however it changes meanwhile.
  while (!eof && size_t(end - data) < capacity) {
    if (memory) {
      const size_t got = size_t(std::min<uint64_t>(capacity - size_t(end - data), size - next));
      memcpy(buffer + (end - data), memory + next, got);
      next += got;
      end += got;
      eof = next == size;
      continue;
    }
    const ssize_t got = read(fd, buffer + (end - data), capacity - size_t(end - data));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = errno;
      eof = true;
      break;
    }
    if (got == 0) eof = true;
    end += got;
  }
  held = obxJoinLines(buffer + kept - held, buffer + (end - data), eof);
  end -= held;
  return true;
}

void ObxInput::seek(uint64_t at) {
  if (memory) next = std::min(at, size);
  else if (lseek(fd, off_t(at), SEEK_SET) < 0) error = errno;
  offset = at;
  data = end = buffer ? buffer : "";
  held = 0;
  eof = error != 0;
}

bool ObxInput::readAt(const ObxInput& source, uint64_t at, size_t count) {
  if (count > capacity) {
    char* block = static_cast<char*>(realloc(buffer, count));
    if (!block) return false;
    buffer = block;
    capacity = count;
  }
  size_t got = 0;
  if (source.memory) {
    got = at < source.size ? size_t(std::min<uint64_t>(count, source.size - at)) : 0;
    memcpy(buffer, source.memory + at, got);
  }
  while (!source.memory && got < count) {
    const ssize_t n = pread(source.fd, buffer + got, count - got, off_t(at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += size_t(n);
  }
  offset = at;
  data = buffer;
  eof = got < count || at + got >= source.size;
  end = buffer + got - obxJoinLines(buffer, buffer + got, eof);
  return true;
}

uint64_t ObxInput::lineAt(uint64_t at) const {
  if (memory) return 1 + uint64_t(std::count(memory, memory + std::min(at, size), '\n'));
  uint64_t line = 1;
  char block[1 << 16];
  for (uint64_t done = 0; done < at;) {
    const ssize_t got =
        pread(fd, block, size_t(std::min<uint64_t>(sizeof block, at - done)), off_t(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the file shrank: the lines it still has
    line += uint64_t(std::count(block, block + got, '\n'));
    done += uint64_t(got);
  }
  return line;
}

static thread_local const ObxReadOptions* obxOpener = NULL;

ObxOpenerScope::ObxOpenerScope(const ObxReadOptions* options) : saved_(obxOpener) {
  obxOpener = options && options->open ? options : NULL;
}
ObxOpenerScope::~ObxOpenerScope() { obxOpener = saved_; }

bool obxHasOpener() { return obxOpener != NULL; }

bool obxOpenerBytes(const char* path, const void** data, size_t* size) {
  *data = NULL;
  *size = 0;
  return obxOpener && obxOpener->open(path, data, size, obxOpener->context) && (*data || !*size);
}

bool obxFileExists(const char* path) {
  const void* data;
  size_t size;
  struct stat status;
  return obxOpener ? obxOpenerBytes(path, &data, &size) : stat(path, &status) == 0;
}

ObxOpenResult obxLoadFile(const char* path, ObxInput* input) {
  if (obxOpener) {
    const void* data;
    size_t size;
    if (!obxOpenerBytes(path, &data, &size)) {
      input->why = "not supplied by the opener";
      return OBX_OPEN_FAILED;
    }
    input->openMemory(data, size);
  } else {
    const ObxOpenResult opened = input->open(path);
    if (opened != OBX_OPEN_OK) return opened;
  }
  // Read whole: a file that grows while it is read ends where a read
  // first meets its end.
  const size_t first = size_t(std::min<uint64_t>(input->size, SIZE_MAX / 2)) + 1;
  while (!input->eof)
    if (!input->more(input->data, input->end == input->data ? first : input->capacity))
      return OBX_OPEN_NO_MEMORY;
  if (input->error) {
    input->why = strerror(input->error);
    return OBX_OPEN_FAILED;
  }
  return OBX_OPEN_OK;
}

static char obxLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; }

// Converts the bytes that "%f" took. Plain decimals go through
// std::from_chars; the forms it does not take (a leading '+', hex, inf,
// nan) and values out of float range go through strtof, as the C library
// converts them. Returns false when nothing converts.
static bool obxConvertFloat(const char* start, const char* end, float* value) {
  if (*start != '+') {
    auto result = std::from_chars(start, end, *value);
    if (result.ec == std::errc() && result.ptr == end) return true;
    if (result.ec == std::errc::invalid_argument) return false;
  }
  const std::string copy(start, end);
  char* stop;
  const float converted = strtof(copy.c_str(), &stop);
  if (stop == copy.c_str()) return false;
  *value = converted;
  return true;
}

int obxScanFloatSlow(ObxScanner* s, float* value) {
  const char* p = s->p;
  const char* end = s->end;
  const char* start = p;

  const bool sign = *p == '-' || *p == '+';
  if (sign && ++p == end) {
    s->p = p;
    return 0;
  }
  char c = obxLower(*p);
  if (c == 'n' || c == 'i') {
    const char* word = c == 'n' ? "nan" : "infinity";
    // "inf" may go on as "infinity"; anything else after it is given back.
    for (size_t i = 0, need = 3; i < need; i++) {
      if (p == end || obxLower(*p) != word[i]) {
        s->p = p == end ? p : p + 1;  // the mismatching byte is not given back
        return 0;
      }
      if (++p < end && i == 2 && c == 'i' && obxLower(*p) == 'i') need = 8;
    }
    s->p = p;
    const float magnitude = c == 'n' ? __builtin_nanf("") : __builtin_inff();
    *value = *start == '-' ? -magnitude : magnitude;
    return 1;
  }

  bool hex = false, digit = false, dot = false, exponent = false;
  if (*p == '0') {
    p++;
    hex = p < end && obxLower(*p) == 'x';
    digit = !hex;
    p += hex;
  }
  const char exponentChar = hex ? 'p' : 'e';
  for (; p < end; p++) {
    char b = *p;
    if (obxIsDigit((unsigned char)b) ||
        (hex && !exponent && ((b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F')))) {
      digit = true;
    } else if (exponent && obxLower(p[-1]) == exponentChar && (b == '-' || b == '+')) {
    } else if (digit && !exponent && obxLower(b) == exponentChar) {
      exponent = dot = true;
    } else if (!dot && b == '.') {
      dot = true;
    } else {
      break;
    }
  }
  s->p = p;
  if (size_t(p - start) == (sign ? 1u : 0u) + (hex ? 2u : 0u)) return 0;  // nothing collected
  return obxConvertFloat(start, p, value) ? 1 : 0;
}

// ---- Tokens and names ------------------------------------------------------

// Copies bytes into a token buffer as the stream read would leave them: a
// zero-terminated text, read up to its first zero byte like any C string.
void obxCopyToken(char buffer[OBX_TOKEN_SIZE], const char* bytes, size_t length) {
  OBX_ASSERT(length < OBX_TOKEN_SIZE);
  memcpy(buffer, bytes, length);
  buffer[length] = '\0';
}

void obxTrimInPlace(char* text) {
  size_t length = strlen(text), start = 0;
  while (start < length && obxIsSpace((unsigned char)text[start])) start++;
  while (length > start && obxIsSpace((unsigned char)text[length - 1])) length--;
  memmove(text, text + start, length - start);
  text[length - start] = '\0';
}

const char* obxTextStart(const ObxInput* input, const char* failure, const char* path) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(input->data);
  const size_t n = size_t(input->end - input->data);
  if (n >= 3 && memcmp(b, "\xEF\xBB\xBF", 3) == 0) return input->data + 3;
  // A byte-order mark, or ASCII with zero bytes between (16 bits a
  // character) or after (32 bits) each byte.
  const bool marked = n >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE) ||
                                 (n >= 4 && memcmp(b, "\0\0\xFE\xFF", 4) == 0));
  const bool wide = n >= 6 && ((b[0] && !b[1] && b[2] && !b[3] && b[4] && !b[5]) ||
                               (!b[0] && b[1] && !b[2] && b[3] && !b[4] && b[5]) ||
                               (b[0] && !b[1] && !b[2] && !b[3] && b[4]));
  if (marked || wide)
    obxFail("%s \"%s\": it is UTF-16 or UTF-32 text (only ASCII and UTF-8 are read).", failure,
            path);
  return input->data;
}

// Whether a keyword token begins with word (its strlen(word) characters).
bool obxKeywordIs(const char* token, size_t length, const char* word) {
  const size_t n = strlen(word);
  return length >= n && memcmp(token, word, n) == 0;
}
