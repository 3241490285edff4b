// Products and transpose. The library refuses a mismatch with a log line and
// no report, so the shapes are checked here and the result is built with the
// shape the library needs.
#include "binding.h"
#include "blas_threads.h"

namespace zor_feedback::python {
namespace {

[[noreturn]] void mismatch(const MatrixIn& a, const MatrixIn& b, const char* needs) {
  throw py::value_error("ERROR: Dimension mismatch: dim(A): " + shape_text(a.rows, a.cols) +
                        " dim(B): " + shape_text(b.rows, b.cols) + "; " + needs);
}

// C = op(A, B) by the library into a rows x cols result.
py::array_t<float> product(const MatrixIn& a, const MatrixIn& b, int rows, int cols,
                           void (QTEV_ResponseMatrix::*op)(QTEV_ResponseMatrix&, QTEV_ResponseMatrix&)) {
  py::array_t<float> result = new_matrix(rows, cols);
  float* out = result.mutable_data();
  {
    py::gil_scoped_release nogil;
    const SharedBlasThreads blas;
    QTEV_ResponseMatrix MA("A", a.rows, a.cols, nullptr);
    QTEV_ResponseMatrix MB("B", b.rows, b.cols, nullptr);
    QTEV_ResponseMatrix MC("PRODUCT", rows, cols, nullptr);
    fill(MA, a.array.data());
    fill(MB, b.array.data());
    (MA.*op)(MB, MC);
    read_out(MC, out);
  }
  return result;
}

py::array_t<float> multiply(const ArrayLike& A, const ArrayLike& B) {
  const MatrixIn a = matrix_in(A, "A");
  const MatrixIn b = matrix_in(B, "B");
  if (a.cols != b.rows) mismatch(a, b, "A @ B needs cols(A) == rows(B)");
  return product(a, b, a.rows, b.cols, &QTEV_ResponseMatrix::multiply);
}

py::array_t<float> entrywise_product(const ArrayLike& A, const ArrayLike& B) {
  const MatrixIn a = matrix_in(A, "A");
  const MatrixIn b = matrix_in(B, "B");
  if (a.rows != b.rows || a.cols != b.cols) mismatch(a, b, "the entrywise product needs one shape");
  return product(a, b, a.rows, a.cols, &QTEV_ResponseMatrix::entrywise_product);
}

py::array_t<float> transpose(const ArrayLike& R) {
  const MatrixIn in = matrix_in(R, "R");
  py::array_t<float> result = new_matrix(in.cols, in.rows);
  float* out = result.mutable_data();
  {
    py::gil_scoped_release nogil;
    QTEV_ResponseMatrix A("R", in.rows, in.cols, nullptr);
    QTEV_ResponseMatrix T("TRANSPOSE", in.cols, in.rows, nullptr);
    fill(A, in.array.data());
    A.transpose(T);
    read_out(T, out);
  }
  return result;
}

}  // namespace

void register_products(py::module_& m) {
  m.def("multiply", &multiply, py::arg("A"), py::arg("B"),
        "A @ B as the server computes it (QTEV_ResponseMatrix::multiply): in double, stored as float32.");
  m.def("entrywise_product", &entrywise_product, py::arg("A"), py::arg("B"),
        "A * B element by element in float (QTEV_ResponseMatrix::entrywise_product).");
  m.def("transpose", &transpose, py::arg("R"), "R's transpose as float32 (QTEV_ResponseMatrix::transpose).");
}

}  // namespace zor_feedback::python
