// Uses every part of an installed zor_feedback: a location with its
// properties, the file loader, the SVD inversion, a product, the history and
// a chicane function; and says which library GSL's CBLAS calls reach.
//   consumer DATA_DIR
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "zor_feedback/zor_feedback.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: consumer DATA_DIR\n");
    return 2;
  }
  const std::string file = std::string(argv[1]) + "/transfer_line_response.txt";

  EqFct location("CONSUMER");
  QTEV_ResponseMatrix R("RESPONSE_MATRIX", 24, 12, &location);
  QTEV_ResponseMatrix inverse("INVERSE", 12, 24, &location);
  QTEV_ResponseMatrix identity("IDENTITY", 12, 12, &location);
  D_spectrum spectrum("SINGULAR_VALUES", 12, &location);
  D_ringbuf history("HISTORY", 4, &location);

  if (!R.load_file(file.c_str())) return 1;
  float tol = -1.0f;
  int nosv = 0;
  R.invert(inverse, spectrum, &tol, &nosv);
  inverse.multiply(R, identity);  // pinv(R) * R = 1 for a matrix of full column rank

  double worst = 0.0;
  for (int i = 0; i < 12; ++i)
    for (int j = 0; j < 12; ++j)
      worst = std::fmax(worst, std::fabs(identity.value(i, j, -1, -1, -1, -1) - (i == j ? 1.0 : 0.0)));
  char msg[] = "inverted";
  history.store(msg);
  const double gamma = E2gamma(130.0 * 1.602176634e-13);

  std::printf("consumer: %d of %d singular values, |pinv(R) R - 1| = %.2e, gamma(130 MeV) = %.2f\n", nosv,
              spectrum.length(), worst, gamma);
  const bool ok =
      nosv == 12 && worst < 1e-4 && std::fabs(gamma - 254.4) < 0.01 && location.properties().size() == 5;
  // GSL calls cblas_dgemm through the process's symbol lookup: the first
  // library that defines it wins.
  Dl_info info{};
  void* dgemm = dlsym(RTLD_DEFAULT, "cblas_dgemm");
  std::printf("consumer: cblas_dgemm from %s\n",
              dgemm != nullptr && dladdr(dgemm, &info) != 0 && info.dli_fname ? info.dli_fname : "(none)");
  std::printf("consumer: %s\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
