// Fuzzes client requests into the ring buffer: any buffer size, any sequence
// of stores and requests of any type code and value. The replies must match a
// plain model of the history.
//
// Input: byte 0 = size (-4 .. 60), then a sequence of operations:
//   op % 3 == 0: store a text (next byte = its length, then the text);
//   otherwise:   a request with a type code (next 2 bytes) and a double
//                (next 8 bytes), or no value (type code 0).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "zor_feedback/zor_feedback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int n = static_cast<int>(data[0] % 65) - 4;
  std::size_t pos = 1;
  std::time_t now = 0;
  auto clock = ovrix::set_time_source([&now] { return ++now; });

  {
    D_ringbuf rb("FUZZ.HISTORY", n, nullptr);
    // The model: entries newest first, as (time, text).
    std::deque<std::pair<std::time_t, std::string>> model(static_cast<std::size_t>(n > 0 ? n : 0), {0, ""});
    EqData reply;
    while (pos < size) {
      const uint8_t op = data[pos++];
      if (op % 3 == 0) {
        const std::size_t len = pos < size ? data[pos++] : 0;
        std::string text(reinterpret_cast<const char*>(data) + pos, std::min(len, size - pos));
        pos += text.size();
        text = text.c_str();  // store takes a C string: up to the first NUL
        std::string arg = text;
        rb.store(arg.data());
        if (model.empty()) model.push_back({0, ""});
        model.pop_back();
        model.push_front({now, text});
        continue;
      }
      int code = 0;
      double value = 0;
      if (pos + 2 <= size) {
        code = static_cast<int16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
      }
      if (pos + 8 <= size) {
        std::memcpy(&value, data + pos, 8);
        pos += 8;
      }
      EqData request;
      if (code != 0) request.set_numeric(code, value);
      rb.get(nullptr, &request, &reply, nullptr);

      const int k = code == 0 ? -1 : request.get_int();
      if (k < 0) {
        if (reply.length() != static_cast<int>(model.size())) std::abort();
        for (int i = 0; i < reply.length(); ++i) {
          const USTR* u = reply.get_ustr(i);
          const auto& m = model[static_cast<std::size_t>(i)];
          if (u == nullptr || u->tm != m.first || u->str_data != m.second) std::abort();
        }
      } else if (k < static_cast<int>(model.size())) {
        const USTR* u = reply.get_ustr(0);
        const auto& m = model[static_cast<std::size_t>(k)];
        if (reply.length() != 1 || u == nullptr || u->tm != m.first || u->str_data != m.second) std::abort();
      } else if (reply.length() != 0 || reply.type() != 0) {
        std::abort();
      }
    }
  }
  ovrix::set_time_source(clock);
  return 0;
}
