// Decompressing gzip data in memory, under a cap on its decompressed size.
// Apart from the file reading so that the tests and the fuzz target can take
// it with a cap of their own.
#include <zlib.h>

#include <string>

#include "file_contents.h"

namespace zor_feedback {
namespace detail {
namespace {

// Owns an inflate stream.
class Inflater {
 public:
  Inflater() noexcept {
    // 16 + MAX_WBITS: gzip framing only.
    ok_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
  }
  ~Inflater() {
    if (ok_) inflateEnd(&z_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool ok() const noexcept { return ok_; }
  z_stream& stream() noexcept { return z_; }

 private:
  z_stream z_{};
  bool ok_ = false;
};

}  // namespace

bool gunzip(const std::string& in, std::string* out, std::string* error, std::size_t cap) {
  Inflater inf;
  if (!inf.ok()) {
    *error = "zlib cannot start a decompression";
    return false;
  }
  z_stream& z = inf.stream();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  char buf[64 * 1024];
  out->clear();
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    const int r = inflate(&z, Z_NO_FLUSH);
    const std::size_t n = sizeof buf - z.avail_out;
    if (out->size() + n > cap) {
      *error = "more than " + std::to_string(cap >> 20) +
               " MiB once decompressed, far more than a matrix file; not read";
      return false;
    }
    out->append(buf, n);
    // Further members (as pigz or cat of two .gz files make) follow on.
    if (r == Z_STREAM_END && z.avail_in == 0) return true;
    if (r == Z_STREAM_END && inflateReset(&z) == Z_OK) continue;
    if (r != Z_OK) {
      *error = std::string("not valid gzip data: ") + (z.msg != nullptr ? z.msg : "truncated");
      return false;
    }
  }
}

}  // namespace detail
}  // namespace zor_feedback
