// Reading and writing a matrix file whole, plain or through zlib.
#include "file_contents.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "matrix_file.h"

namespace zor_feedback {
namespace detail {

namespace {

// Owns a zlib stream handle; gzclose also closes the descriptor it was
// opened on.
class GzFile {
 public:
  explicit GzFile(gzFile f) noexcept : f_(f) {}
  ~GzFile() {
    if (f_ != nullptr) gzclose(f_);
  }
  GzFile(const GzFile&) = delete;
  GzFile& operator=(const GzFile&) = delete;
  gzFile get() const noexcept { return f_; }
  // Closes now, for the status of a write: Z_OK when all went out.
  int close() noexcept {
    const int r = gzclose(f_);
    f_ = nullptr;
    return r;
  }

 private:
  gzFile f_;
};

std::string too_large(const std::string& shown, std::size_t cap) {
  return shown + " holds more than " + std::to_string(cap >> 20) +
         " MiB, far more than a matrix file; not read";
}

bool ends_with(const std::string& s, const char* tail) {
  const std::size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool read_plain(int fd, const std::string& shown, std::string* out, std::string* error, std::size_t cap) {
  char buf[64 * 1024];
  for (;;) {
    ssize_t n;
    do n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      *error = "cannot read " + shown + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    if (out->size() + static_cast<std::size_t>(n) > cap) {
      *error = too_large(shown, cap);
      return false;
    }
    out->append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace

bool is_gzip_name(const std::string& path) { return ends_with(path, ".gz"); }

std::string without_gz(const std::string& path) {
  return is_gzip_name(path) ? path.substr(0, path.size() - 3) : path;
}

bool has_format(const std::string& path, const char* tail) { return ends_with(without_gz(path), tail); }

bool read_file_contents(const char* path, std::string* out, std::string* error, std::size_t cap) {
  const std::string shown = std::string("'") + (path != nullptr ? path : "(null)") + "'";
  struct stat st {};
  std::string why;
  FileDescriptor fd(open_regular_file(path, st, &why));
  if (fd.get() < 0) {
    *error = "cannot open " + shown + ": " + why;
    return false;
  }
  out->clear();
  if (!is_gzip_name(path)) return read_plain(fd.get(), shown, out, error, cap);
  std::string packed;
  if (!read_plain(fd.get(), shown, &packed, error, cap)) return false;
  if (gunzip(packed, out, error, cap)) return true;
  *error = shown + ": " + *error;
  return false;
}

bool write_file_contents(const char* path, const std::string& data, std::string* error) {
  const std::string shown = std::string("'") + path + "'";
  if (is_gzip_name(path)) {
    GzFile gz(gzopen(path, "wb"));
    bool ok = gz.get() != nullptr;
    if (ok && !data.empty())
      ok =
          gzwrite(gz.get(), data.data(), static_cast<unsigned>(data.size())) == static_cast<int>(data.size());
    if (ok && gz.close() == Z_OK) return true;
    *error = "cannot write " + shown + ": " + std::strerror(errno);
    return false;
  }
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path, "wb"));
  bool ok = f != nullptr && std::fwrite(data.data(), 1, data.size(), f.get()) == data.size();
  if (f != nullptr && std::fclose(f.release()) != 0) ok = false;
  if (!ok) *error = "cannot write " + shown + ": " + std::strerror(errno);
  return ok;
}

}  // namespace detail
}  // namespace zor_feedback
