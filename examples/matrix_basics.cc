// The response matrix as a server uses it: construct, fill, copy, compare.
#include <cstdio>

#include "zor_feedback/zor_feedback.h"

int main() {
  EqFct location("ORBIT.FEEDBACK");  // the server location that owns the properties

  // 4 monitors (rows) by 3 actuators (columns).
  QTEV_ResponseMatrix rm("RESPONSE_MATRIX", 4, 3, &location);
  for (int i = 0; i < rm.rows; ++i)
    for (int j = 0; j < rm.cols; ++j)
      rm.set_value(1.0f / static_cast<float>(1 + i + j), i, j, -1, -1, -1, -1);

  // An assignment copies values and shape; the property keeps its own name.
  QTEV_ResponseMatrix copy("RESPONSE_MATRIX.COPY", 1, 1, &location);
  copy = rm;
  std::printf("copy is %d x %d, equal to the original: %s\n", copy.rows, copy.cols,
              copy == rm ? "yes" : "no");

  copy.set_value(0.0f, 0, 0, -1, -1, -1, -1);
  std::printf("after changing one element, equal: %s\n", copy == rm ? "yes" : "no");

  std::printf("properties of %s:", location.name().c_str());
  for (const D_fct* p : location.properties()) std::printf(" %s", p->property_name().c_str());
  std::printf("\n");
  return 0;
}
